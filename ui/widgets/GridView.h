#pragma once
// CNGridView: the thumbnail grid. Equally sized items (150 x 150) row by row,
// left to right; only the items of the visible rows and one row more are
// child widgets, the others go back to reuse pools by reuse identifier. The
// grid is a flipped view inside a CNGridScrollView.
//
// A Qt widget cannot be taller than 16,777,215 pixels, and a million items
// make a grid of tens of millions of points, so the grid keeps its frame in
// points (frame()) while the widget itself covers the scroll area's viewport;
// items are placed at their grid rectangle less the scroll offset.
//
// Delegates are plain interfaces whose operations do nothing by default; every
// delegate call is preceded by its notification on the default centre.
#include "ui/widgets/GridItems.h"

#include <QAbstractScrollArea>
#include <QPointer>
#include <QRectF>
#include <QWidget>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <QMenu>

namespace salvor::widgets {

class CNGridView;

// Column and row, both counted from 1.
struct CNItemPoint {
    std::uint64_t column = 0, row = 0;
    bool operator==(const CNItemPoint&) const = default;
};
inline CNItemPoint CNMakeItemPoint(std::uint64_t column, std::uint64_t row) { return {column, row}; }

// Ascending indexes.
using IndexSet = std::set<std::int64_t>;

class CNGridViewDataSource {
public:
    virtual ~CNGridViewDataSource() = default;
    virtual std::uint64_t numberOfItemsInSection(CNGridView*, std::int64_t /*section*/) { return 0; }
    virtual CNGridViewItemBase* itemAtIndex(CNGridView*, std::int64_t /*index*/, std::int64_t /*section*/) {
        return nullptr;
    }
    virtual std::uint64_t numberOfSectionsInGridView(CNGridView*) { return 0; }
};

class CNGridViewDelegate {
public:
    virtual ~CNGridViewDelegate() = default;
    virtual void willHoverItemAtIndex(CNGridView*, std::int64_t, std::int64_t) {}
    virtual void willUnhoverItemAtIndex(CNGridView*, std::int64_t, std::int64_t) {}
    virtual void willSelectItemAtIndex(CNGridView*, std::int64_t, std::int64_t) {}
    virtual void didSelectItemAtIndex(CNGridView*, std::int64_t, std::int64_t) {}
    virtual void willDeselectItemAtIndex(CNGridView*, std::int64_t, std::int64_t) {}
    virtual void didDeselectItemAtIndex(CNGridView*, std::int64_t, std::int64_t) {}
    virtual void willDeselectAllItems(CNGridView*, const std::vector<CNGridViewItemBase*>&) {}
    virtual void gridViewDidDeselectAllItems(CNGridView*) {}
    virtual void didClickItemAtIndex(CNGridView*, std::int64_t, std::int64_t) {}
    virtual void didDoubleClickItemAtIndex(CNGridView*, std::int64_t, std::int64_t) {}
    virtual void didActivateContextMenuWithIndexes(CNGridView*, const IndexSet&, std::int64_t) {}
};

// The rubber band: black at 0.15 with a white hairline.
class CNSelectionFrameView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    QRectF gridFrame;

protected:
    void paintEvent(QPaintEvent* event) override;
};

class CNGridView : public QWidget {
    Q_OBJECT
public:
    static constexpr double kCell = 150.0;
    static constexpr Qt::KeyboardModifiers kShift = Qt::ShiftModifier;
    static constexpr Qt::KeyboardModifiers kCommand = Qt::ControlModifier;

    explicit CNGridView(QWidget* parent = nullptr);
    ~CNGridView() override;

    // ---- properties
    void setItemSize(const QSizeF&); // refreshes with a fade-in; cells stay 150 x 150
    QSizeF itemSize() const { return {}; }
    void setBackgroundColor(const QColor&); // the scroll view takes the control colour
    void setAllowsSelection(bool yes) { allowsSelection_ = yes; }
    void setAllowsMultipleSelection(bool yes);
    bool allowsMultipleSelection() const { return allowsMultipleSelection_; }
    void setAllowsMultipleSelectionWithDrag(bool yes) { allowsMultipleSelectionWithDrag_ = yes; }
    void setUseHover(bool yes) { useHover_ = yes; }
    bool useHover() const { return useHover_; }
    void setUseCenterAlignment(bool yes) { useCenterAlignment_ = yes; }
    void setItemContextMenu(QMenu* menu) { itemContextMenu_ = menu; }
    void setDelegate(CNGridViewDelegate* d) { delegate_ = d; }
    void setDataSource(CNGridViewDataSource* d) { dataSource_ = d; }
    // Kept for whoever shows the grid; the grid itself draws neither.
    void setGridViewTitle(const QString& title) { gridViewTitle_ = title; }
    QString gridViewTitle() const { return gridViewTitle_; }
    void setHeaderView(QWidget* header) { headerView_ = header; }
    QWidget* headerView() const { return headerView_; }
    double contentInset() const { return contentInset_; }
    std::int64_t numberOfItems() const { return numberOfItems_; }
    bool isInitialCall() const { return isInitialCall_; }
    bool abortSelection() const { return abortSelection_; }

    // ---- frame and geometry (grid coordinates: points, y down)
    QRectF frame() const { return frame_; }
    void setFrame(const QRectF& r);
    // The visible part of the grid.
    QRectF clippedRect() const;
    std::uint64_t columnsInGridView() const;
    std::uint64_t allOverRowsInGridView() const;
    std::uint64_t visibleRowsInGridView() const;
    QRectF rectForItemAtIndex(std::int64_t i) const;
    // start and length
    std::pair<std::int64_t, std::int64_t> visibleItemRange() const;
    IndexSet visibleIndexes() const;
    IndexSet indexesForVisibleItems() const;
    std::size_t numberOfVisibleItems() const { return keyedVisibleItems_.size(); }
    // Points in the grid widget's own coordinates, as events carry them.
    std::int64_t indexForItemAtLocation(const QPointF& p) const;
    // Grid coordinates; used for the rubber band's corners.
    std::int64_t boundIndexForItemAtLocation(const QPointF& p) const;
    CNItemPoint locationForItemAtIndex(std::int64_t i) const;

    // ---- data
    void reloadData() { reloadDataAnimated(false); }
    void reloadDataAnimated(bool animated);
    void insertItemAtIndex(std::int64_t i, bool animated);
    void insertItemsAtIndexes(const IndexSet& set, bool animated);
    void reloadItemsAtIndexes(const IndexSet& set, bool animated);
    void removeItemsAtIndexes(const IndexSet& set, bool animated);
    CNGridViewItemBase* dequeueReusableItemWithIdentifier(const QString& id);
    void refreshGridViewAnimated(bool animated, bool initialCall);
    // Asks for a redisplay; setFrame schedules one shortly after the resize.
    void refreshGridView() { update(); }
    void updateVisibleRect();
    void updateReuseableItems();
    void updateVisibleItems();
    void arrangeGridViewItemsAnimated(bool animated);

    // ---- items
    CNGridViewItemBase* visibleItem(std::int64_t i) const;
    const std::map<std::int64_t, CNGridViewItemBase*>& keyedVisibleItems() const { return keyedVisibleItems_; }
    std::size_t pooledItemCount() const;

    // ---- hover, selection, clicks
    void hoverItemAtIndex(std::int64_t i);
    void unHoverItemAtIndex(std::int64_t i);
    void selectItem(CNGridViewItemBase* item);
    void deSelectItem(CNGridViewItemBase* item);
    void selectItemAtIndex(std::int64_t i, Qt::KeyboardModifiers flags);
    void selectAllItems();
    void deselectAllItems();
    std::vector<CNGridViewItemBase*> selectedItems() const;
    IndexSet selectedIndexes() const;
    // Click classification of queued clicks (grid-widget points).
    void handleClicks(const std::vector<QPointF>& clicks);
    void drawSelectionFrameForMousePointerAtLocation(const QPointF& p);
    void selectItemsCoveredBySelectionFrame(const QRectF& r, Qt::KeyboardModifiers flags);
    CNSelectionFrameView* selectionFrameView() const { return selectionFrameView_; }
    std::int64_t lastHoveredIndex() const { return lastHoveredIndex_; }
    // The context menu's run; tests replace it (the menu is modal).
    std::function<void(QMenu*, const QPoint& globalPos)> popUpMenu;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    friend class CNGridScrollView;
    void refreshInset();
    void placeItem(QWidget* item, const QRectF& r);
    void placeAll();
    void dropItem(CNGridViewItemBase* item);
    void pool(CNGridViewItemBase* item);
    void takeOut(const std::vector<CNGridViewItemBase*>& items, bool animated, bool poolThem);
    std::vector<CNGridViewItemBase*> affectedItems(std::int64_t from, const IndexSet* only) const;
    void post(const char* name, std::int64_t index);
    void handleSingleClickForItemAtIndex(std::int64_t i);
    void handleDoubleClickForItemAtIndex(std::int64_t i);
    void rightMouseDown(const QPointF& p);
    void mouseDragged(const QPointF& p, Qt::KeyboardModifiers flags);
    double scrollY() const;

    std::map<std::int64_t, CNGridViewItemBase*> keyedVisibleItems_;
    std::map<QString, std::vector<CNGridViewItemBase*>> reuseableItems_;
    std::map<std::int64_t, CNGridViewItemBase*> selectedItems_;
    std::map<std::int64_t, CNGridViewItemBase*> selectedItemsBySelectionFrame_;
    CNSelectionFrameView* selectionFrameView_ = nullptr;
    std::int64_t lastHoveredIndex_ = NSNotFound;
    std::int64_t lastSelectedItemIndex_ = NSNotFound;
    std::int64_t numberOfItems_ = 0;
    QPointF selectionFrameInitialPoint_;
    bool isInitialCall_ = true;
    bool mouseHasDragged_ = false;
    bool abortSelection_ = false;
    double contentInset_ = 0;
    bool allowsSelection_ = false;
    bool allowsMultipleSelection_ = false;
    bool allowsMultipleSelectionWithDrag_ = false;
    bool useHover_ = true;
    bool useCenterAlignment_ = false;
    CNGridViewDelegate* delegate_ = nullptr;
    CNGridViewDataSource* dataSource_ = nullptr;
    QPointer<QMenu> itemContextMenu_;
    QString gridViewTitle_;
    QPointer<QWidget> headerView_;
    QRectF frame_;
    std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

// The scroll view a grid lives in: a vertical scroll bar over the grid's
// height; the grid covers the viewport and follows its width.
class CNGridScrollView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit CNGridScrollView(QWidget* parent = nullptr);
    CNGridView* gridView() const { return grid_; }
    // Scrolls so that grid point y is at the top (clamped).
    void scrollToY(double y);
    void syncRange();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    CNGridView* grid_;
};

} // namespace salvor::widgets
