#pragma once
// The item of the results window's older thumbnail collection: BVView, a
// 120 x 100 cell with thumbnail, file name, tick box and deleted mark, and
// BVPrototype, the collection item that installs a cell and fills it from a
// found file. The window keeps the collection without content, so its count
// of loaded views stays 0 and every item's view stays hidden.
#include "ui/kit/WindowController.h"

#include <QImage>
#include <QWidget>

class IFileNode;
class QLabel;
class QPushButton;
struct PreviewImage;

namespace salvor::windows {

// A preview as a picture (main thread): the decoded bytes, else the icon of
// the extension, else a null image.
QImage previewPicture(const PreviewImage& preview);

class BVViewDelegate {
public:
    virtual ~BVViewDelegate() = default;
    virtual void reLoadItemData() = 0;
};

class BVView : public QWidget {
    Q_OBJECT
public:
    static constexpr QSize itemSize{120, 100};

    // Keeps origin; the size is always itemSize.
    explicit BVView(QPoint origin = {}, QWidget* parent = nullptr);

    IFileNode* listData() const { return listData_; }
    void setListData(IFileNode* node) { listData_ = node; }
    void setDelegate(BVViewDelegate* d) { delegate_ = d; }
    BVViewDelegate* delegate() const { return delegate_; }

    // The tick box's action.
    void changeButtonState();

    QLabel *bgImageView = nullptr, *imageView = nullptr, *deleteIamgeView = nullptr, *titleLabel = nullptr;
    QPushButton* button = nullptr;
    // The image names shown (tests).
    QString buttonImage, backgroundImage;
    void setButtonImage(const QString& name);

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void setBackground(const QString& name);
    IFileNode* listData_ = nullptr;
    BVViewDelegate* delegate_ = nullptr; // not retained
};

class BVPrototypeDelegate {
public:
    virtual ~BVPrototypeDelegate() = default;
    virtual void reLoadCollectionViewData() = 0;
    // Item views loaded so far.
    virtual std::uint64_t viewLoadCnt() = 0;
};

class BVPrototype : public kit::ViewController, public BVViewDelegate {
    Q_OBJECT
public:
    BVPrototype() : kit::ViewController(QStringLiteral("BVPrototype")) {}
    void setDelegate(BVPrototypeDelegate* d) { delegate_ = d; }

    // Fills the cell from a found file (none: nothing).
    void setRepresentedNode(IFileNode* node);
    void reLoadItemData() override;
    BVView* cell() const { return cell_; }

protected:
    QWidget* loadView() override;

private:
    BVPrototypeDelegate* delegate_ = nullptr; // not retained
    BVView* cell_ = nullptr;
};

} // namespace salvor::windows
