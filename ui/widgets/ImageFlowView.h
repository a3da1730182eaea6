#pragma once
// ImageFlowView: the preview strip. The selected item large in the middle,
// its neighbours smaller on both sides, titles below; a click or the Left and
// Right keys select. Images come from the data source's items and are kept,
// scaled for drawing, in a cache that freeCache() empties.
#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <map>
#include <set>

namespace salvor::widgets {

class ImageFlowView;

// One picture of the strip: identity, title and image (null: a placeholder).
class ImageFlowItem {
public:
    virtual ~ImageFlowItem() = default;
    virtual QString imageUID() const = 0;
    virtual QString imageTitle() const = 0;
    virtual QImage imageRepresentation() const = 0;
};

class ImageFlowDataSource {
public:
    virtual ~ImageFlowDataSource() = default;
    virtual std::int64_t numberOfItemsInImageFlow(ImageFlowView*) { return 0; }
    virtual const ImageFlowItem* itemAtIndex(ImageFlowView*, std::int64_t /*index*/) { return nullptr; }
};

class ImageFlowDelegate {
public:
    virtual ~ImageFlowDelegate() = default;
    virtual void didSelectItemAtIndex(ImageFlowView*, std::int64_t /*index*/) {}
};

// Drawn images by item index.
class ImageFlowCache {
public:
    void freeCache() { images_.clear(); }
    std::size_t size() const { return images_.size(); }

private:
    friend class ImageFlowView;
    std::map<std::int64_t, QPixmap> images_;
};

class ImageFlowView : public QWidget {
    Q_OBJECT
public:
    explicit ImageFlowView(QWidget* parent = nullptr);

    void setDataSource(ImageFlowDataSource* d) { dataSource_ = d; }
    void setDelegate(ImageFlowDelegate* d) { delegate_ = d; }
    std::int64_t selectedIndex() const { return selected_; }
    void setSelectedIndex(std::int64_t i);
    // Takes the count again, forgets every cached image, repaints.
    void reloadData();
    // Forgets item i's image and repaints that item only.
    void reloadCellDataAtIndex(std::int64_t i);
    void setBackgroundColor(const QColor& c);
    QColor backgroundColor() const { return background_; }
    ImageFlowCache& cacheManager() { return cache_; }
    std::int64_t count() const { return count_; }

    // Where item i is drawn (its picture; the title goes below it).
    QRectF rectForIndex(std::int64_t i) const;
    std::int64_t indexAt(const QPointF& p) const;
    // The items drawn by the last paint (tests).
    const std::set<std::int64_t>& lastPainted() const { return lastPainted_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void userSelect(std::int64_t i);
    QRect cellArea(std::int64_t i) const;
    ImageFlowDataSource* dataSource_ = nullptr;
    ImageFlowDelegate* delegate_ = nullptr;
    std::int64_t selected_ = 0;
    std::int64_t count_ = 0;
    QColor background_{Qt::black};
    ImageFlowCache cache_;
    std::set<std::int64_t> lastPainted_;
};

} // namespace salvor::widgets
