#pragma once
// The items a CNGridView lays out: CNGridViewItemBase (what the grid needs of
// any item: reuse identifier, index, represented object, selected, selectable
// and hovered flags; it follows the grid's select-all and deselect-all
// notifications) and CNGridViewItem, the 150 x 150 thumbnail tile of the
// results window with its file-name label and tick box. Also the appearance
// record CNGridViewItemLayout, the palette and two view queries.
#include "services/TreeItems.h"

#include <QAbstractButton>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QRectF>
#include <QSizeF>
#include <QWidget>

#include <cstdint>
#include <limits>

namespace salvor::widgets {

// "No index".
inline constexpr std::int64_t NSNotFound = std::numeric_limits<std::int64_t>::max();
inline constexpr const char* kCNDefaultItemIdentifier = "CNGridViewItem";

// The grid's notifications (posted on the default centre) and their keys.
inline constexpr const char* CNGridViewSelectAllItemsNotification = "CNGridViewSelectAllItems";
inline constexpr const char* CNGridViewDeSelectAllItemsNotification = "CNGridViewDeSelectAllItems";
inline constexpr const char* CNGridViewWillHoverItemNotification = "CNGridViewWillHoverItem";
inline constexpr const char* CNGridViewWillUnhoverItemNotification = "CNGridViewWillUnhoverItem";
inline constexpr const char* CNGridViewWillSelectItemNotification = "CNGridViewWillSelectItem";
inline constexpr const char* CNGridViewDidSelectItemNotification = "CNGridViewDidSelectItem";
inline constexpr const char* CNGridViewWillDeselectItemNotification = "CNGridViewWillDeselectItem";
inline constexpr const char* CNGridViewDidDeselectItemNotification = "CNGridViewDidDeselectItem";
inline constexpr const char* CNGridViewWillDeselectAllItemsNotification = "CNGridViewWillDeselectAllItems";
inline constexpr const char* CNGridViewDidDeselectAllItemsNotification = "CNGridViewDidDeselectAllItems";
inline constexpr const char* CNGridViewDidClickItemNotification = "CNGridViewDidClickItem";
inline constexpr const char* CNGridViewDidDoubleClickItemNotification = "CNGridViewDidDoubleClickItem";
inline constexpr const char* CNGridViewRightMouseButtonClickedOnItemNotification =
    "CNGridViewRightMouseButtonClickedOnItem";
// Payload values are text: an index in decimal, several as "1,4,7".
inline constexpr const char* CNGridViewItemIndexKey = "gridViewItemIndex";
inline constexpr const char* CNGridViewSelectedItemsKey = "CNGridViewSelectedItems";
inline constexpr const char* CNGridViewItemsIndexSetKey = "CNGridViewItemsIndexSetKey";
inline constexpr const char* CNGridViewItemKey = "gridViewItem";

// ---- palette ------------------------------------------------------------
QColor itemBackgroundColor();          // black at 0.05
QColor itemBackgroundHoverColor();     // black at 0.3
QColor itemBackgroundSelectionColor(); // black at 0.25
QColor itemSelectionRingColor();       // (0.346, 0.531, 0.792)
QColor itemTitleColor();
QColor itemTitleShadowColor();
QColor selectionFrameColor();
QColor controlColor(); // the light grey of controls

// ---- items ------------------------------------------------------------------
class CNGridViewItemBase : public QWidget {
    Q_OBJECT
public:
    explicit CNGridViewItemBase(QWidget* parent = nullptr);
    ~CNGridViewItemBase() override;
    static QSizeF defaultItemSize() { return {150, 150}; }

    virtual void prepareForReuse();
    bool isReuseable() const { return !selected_; }

    const QString& reuseIdentifier() const { return reuseIdentifier_; }
    void setReuseIdentifier(const QString& id) { reuseIdentifier_ = id; }
    std::int64_t index() const { return index_; }
    void setIndex(std::int64_t i) { index_ = i; }
    void* representedObject() const { return representedObject_; }
    void setRepresentedObject(void* o) { representedObject_ = o; }
    bool selected() const { return selected_; }
    void setSelected(bool yes) { selected_ = yes; }
    bool selectable() const { return selectable_; }
    void setSelectable(bool yes) { selectable_ = yes; }
    bool hovered() const { return hovered_; }
    virtual void setHovered(bool yes) { hovered_ = yes; }

    // Where the grid places the item, in the grid's (flipped) coordinates.
    QRectF gridFrame() const { return gridFrame_; }
    void setGridFrame(const QRectF& r) { gridFrame_ = r; }

private:
    bool selected_ = false, selectable_ = true, hovered_ = false;
    QString reuseIdentifier_ = QString::fromLatin1(kCNDefaultItemIdentifier);
    std::int64_t index_ = NSNotFound;
    void* representedObject_ = nullptr;
    QRectF gridFrame_;
};

class CNGridViewItemDelegate {
public:
    virtual ~CNGridViewItemDelegate() = default;
    virtual void doSelectItem(std::int64_t /*index*/) {}
};

// The appearance record; only the ring colour and width are read (by drawing).
struct CNGridViewItemLayout {
    int visibleContentMask = 3;
    QColor backgroundColor = itemBackgroundColor();
    QColor selectionRingColor = itemSelectionRingColor();
    double selectionRingLineWidth = 3.0;
    std::uint64_t contentInset = 3;
    std::uint64_t itemBorderRadius = 5;
    QFont titleFont;
    static CNGridViewItemLayout defaultLayout();
};

// The tick box: draws its named image, and a ring while it has the focus.
class GridTickBox : public QAbstractButton {
    Q_OBJECT
public:
    using QAbstractButton::QAbstractButton;
    void setImageName(const QString& name);
    const QString& imageName() const { return imageName_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString imageName_;
};

class CNGridViewItem;

// Hands a thumbnail made on a worker thread to an item. Take it on the main
// thread; use it from any thread. A delivery never blocks: the image travels
// to the main thread queued and is dropped there when the item is gone or
// shows another node by then.
class ThumbnailTarget {
public:
    ThumbnailTarget() = default;
    void updateImageViewWithImage(const QImage& image, const OpNodeRef& node) const;

private:
    friend class CNGridViewItem;
    explicit ThumbnailTarget(CNGridViewItem* item) : item_(item) {}
    QPointer<CNGridViewItem> item_;
};

class CNGridViewItem : public CNGridViewItemBase {
    Q_OBJECT
public:
    explicit CNGridViewItem(QWidget* parent = nullptr);
    // The layout is not used (the results window passes none).
    CNGridViewItem(const CNGridViewItemLayout* layout, const QString& reuseIdentifier, QWidget* parent = nullptr);

    void prepareForReuse() override;
    void setHovered(bool yes) override;
    void clearHovering() { setHovered(false); }
    void clearSelection() { setSelected(false); }

    const QImage& itemImage() const { return itemImage_; }
    void setItemImage(const QImage& image) { itemImage_ = image; update(); }
    const QString& itemTitle() const { return itemTitle_; }
    void setItemTitle(const QString& t) { itemTitle_ = t; }
    const OpNodeRef& node() const { return node_; }
    void setNode(OpNodeRef node) { node_ = std::move(node); }
    CNGridViewItemDelegate* delegate() const { return delegate_; }
    void setDelegate(CNGridViewItemDelegate* d) { delegate_ = d; }
    const CNGridViewItemLayout* currentLayout() const { return currentLayout_; }
    void setCurrentLayout(const CNGridViewItemLayout* l) { currentLayout_ = l; }
    bool useLayout() const { return useLayout_; }
    GridTickBox* itemButton() const { return itemButton_; }
    QLabel* titleLabel() const { return titleLabel_; }

    // The window locks the tick boxes while a scan runs unpaused (the
    // scan is still filing the nodes they tick).
    bool ticksLocked() const { return ticksLocked_; }
    void setTicksLocked(bool locked) { ticksLocked_ = locked; }
    // The tick box's action: nothing while the ticks are locked; else the box
    // shows "checkbox_no" for a ticked or partly ticked node, "checkbox_yes"
    // otherwise, and the delegate hears doSelectItem(index).
    void setItemSelectBoxClickAction();
    // Main thread: shows image unless it has an empty side.
    void refImageWithImage(const QImage& image);
    ThumbnailTarget thumbnailTarget() { return ThumbnailTarget(this); }

    // Where drawing puts an image of size in a tile of bounds (pure).
    static QRectF imageRectForSize(const QSizeF& size, const QRectF& bounds);
    static QRectF tileRect(const QRectF& bounds);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void initProperties();
    bool useLayout_ = true;
    bool ticksLocked_ = false;
    CNGridViewItemDelegate* delegate_ = nullptr;
    QImage itemImage_;
    GridTickBox* itemButton_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    QString itemTitle_;
    OpNodeRef node_;
    const CNGridViewItemLayout* currentLayout_ = nullptr;
};

// v is one of the receiver's direct children / the receiver is one of v's.
bool containsSubView(const QWidget* view, const QWidget* v);
bool isSubviewOfView(const QWidget* view, const QWidget* v);

} // namespace salvor::widgets
