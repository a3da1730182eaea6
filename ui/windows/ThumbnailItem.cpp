#include "ui/windows/ThumbnailItem.h"

#include "services/TreeItems.h"
#include "services/UIController.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/Geometry.h"
#include "ui/kit/NamedImages.h"
#include "ui/kit/PreviewImages.h"

#include <QIcon>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

namespace salvor::windows {

QImage previewPicture(const PreviewImage& preview) {
    if (!preview.bytes.isEmpty()) {
        QImage image = kit::decodePreviewBytes(preview.bytes);
        if (!image.isNull()) return image;
    }
    if (preview.iconExt.isEmpty()) return {};
    return kit::iconForFileType(preview.iconExt).pixmap(64, 64).toImage();
}

// ---- BVView ---------------------------------------------------------------------

namespace {
QLabel* addImageView(QWidget* parent, const kit::Frame& f) {
    auto* l = new QLabel(parent);
    l->setScaledContents(true);
    kit::setFrame(l, f);
    return l;
}
} // namespace

BVView::BVView(QPoint origin, QWidget* parent) : QWidget(parent) {
    setGeometry(QRect(origin, itemSize));
    bgImageView = addImageView(this, {3, 3, 114, 94});
    setBackground(QStringLiteral("view_bg_normal"));
    imageView = addImageView(this, {10, 35, 90, 55});
    titleLabel = new QLabel(this);
    titleLabel->setFont(kit::systemFont(10));
    titleLabel->setAutoFillBackground(true);
    kit::setFrame(titleLabel, kit::Frame{30, 2, 80, 20});
    button = new QPushButton(this);
    button->setFlat(true);
    kit::setFrame(button, kit::Frame{16, 10, 14, 14});
    connect(button, &QPushButton::clicked, this, [this] { changeButtonState(); });
    deleteIamgeView = addImageView(this, {90, 35, 16, 16});
    deleteIamgeView->setScaledContents(false);
    deleteIamgeView->setAlignment(Qt::AlignTop);
    deleteIamgeView->setPixmap(kit::namedPixmap(QStringLiteral("deletered")));
    deleteIamgeView->hide();
    setMouseTracking(true);
}

void BVView::setBackground(const QString& name) {
    backgroundImage = name;
    bgImageView->setPixmap(kit::namedPixmap(name));
    update();
}

void BVView::setButtonImage(const QString& name) {
    buttonImage = name;
    button->setIcon(QIcon(kit::namedPixmap(name)));
}

void BVView::enterEvent(QEnterEvent*) { setBackground(QStringLiteral("view_bg_press")); }
void BVView::leaveEvent(QEvent*) { setBackground(QStringLiteral("view_bg_normal")); }

void BVView::changeButtonState() {
    if (VXUIController::shared().IsScanRunning()) return;
    const int state = OpNodeData::fileNodeState(listData_) < 1 ? 2 : 0;
    OpNodeData::setFileNode(listData_, state);
    setButtonImage(state == 2 ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_no"));
    if (delegate_) delegate_->reLoadItemData();
}

// ---- BVPrototype ------------------------------------------------------------------

QWidget* BVPrototype::loadView() {
    // One cell shared by every item while no view has been loaded; it is made
    // again should a holder have destroyed it.
    static QPointer<BVView> shared;
    if (!shared) shared = new BVView;
    cell_ = delegate_ && delegate_->viewLoadCnt() != 0 ? new BVView : shared.data();
    cell_->setDelegate(this);
    return cell_;
}

void BVPrototype::setRepresentedNode(IFileNode* node) {
    BVView* v = static_cast<BVView*>(view());
    if (!delegate_ || delegate_->viewLoadCnt() == 0) {
        v->hide();
        return;
    }
    if (!node) return;
    v->setListData(node);
    QImage thumb = previewPicture(VXUIController::shared().GetNSImageByFildNodeNSNumber(node));
    if (thumb.isNull()) thumb = kit::namedImage(QStringLiteral("logo"));
    v->imageView->setPixmap(QPixmap::fromImage(thumb));
    const QString name = OpNodeData::fileNodeName(node);
    v->titleLabel->setText(name);
    v->titleLabel->setToolTip(name);
    v->setButtonImage(OpNodeData::fileNodeState(node) == 2 ? QStringLiteral("checkbox_yes")
                                                            : QStringLiteral("checkbox_no"));
    v->deleteIamgeView->setVisible(OpNodeData::isFileNodeDeleted(node));
}

void BVPrototype::reLoadItemData() {
    if (delegate_) delegate_->reLoadCollectionViewData();
}

} // namespace salvor::windows
