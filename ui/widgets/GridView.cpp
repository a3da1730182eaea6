#include "ui/widgets/GridView.h"

#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "ui/kit/ViewAnimation.h"

#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>
#include <QScrollBar>

#include <algorithm>
#include <climits>
#include <cmath>

namespace salvor::widgets {

namespace {
using namespace std::chrono_literals;
std::string joined(const IndexSet& set) {
    std::string out;
    for (std::int64_t i : set) {
        if (!out.empty()) out += ',';
        out += std::to_string(i);
    }
    return out;
}
} // namespace

void CNSelectionFrameView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRectF r(0.5, 0.5, std::floor(width()) - 1.0, std::floor(height()) - 1.0);
    p.fillRect(r, QColor::fromRgbF(0, 0, 0, 0.15f));
    p.setPen(QPen(Qt::white, 1.0));
    p.drawRect(r);
}

CNGridView::CNGridView(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setBackgroundColor(QColor());
}

CNGridView::~CNGridView() { platform::cancelPerforms(this); }

// ---- properties ------------------------------------------------------------

void CNGridView::setItemSize(const QSizeF&) { refreshGridViewAnimated(true, true); }

void CNGridView::setBackgroundColor(const QColor&) {
    auto* scroll = parentWidget() ? qobject_cast<CNGridScrollView*>(parentWidget()->parentWidget()) : nullptr;
    if (!scroll) return;
    QPalette pal = scroll->viewport()->palette();
    pal.setColor(QPalette::Window, controlColor());
    pal.setColor(QPalette::Base, controlColor()); // what a scroll area's viewport fills with
    scroll->viewport()->setPalette(pal);
    scroll->viewport()->setAutoFillBackground(true);
}

void CNGridView::setAllowsMultipleSelection(bool yes) {
    allowsMultipleSelection_ = yes;
    if (!yes && !selectedItems_.empty()) {
        platform::NotificationCenter::defaultCenter().post(CNGridViewDeSelectAllItemsNotification);
        selectedItems_.clear();
    }
}

// ---- geometry ---------------------------------------------------------------

double CNGridView::scrollY() const {
    auto* scroll = parentWidget() ? qobject_cast<CNGridScrollView*>(parentWidget()->parentWidget()) : nullptr;
    return scroll ? scroll->verticalScrollBar()->value() : 0.0;
}

QRectF CNGridView::clippedRect() const { return QRectF(0, scrollY(), width(), height()); }

std::uint64_t CNGridView::columnsInGridView() const {
    const float c = std::floor(static_cast<float>(clippedRect().width()) / 150.0f);
    return c < 1.0f ? 1 : static_cast<std::uint64_t>(c);
}

std::uint64_t CNGridView::allOverRowsInGridView() const {
    return static_cast<std::uint64_t>(
        std::ceil(static_cast<float>(numberOfItems_) / static_cast<float>(columnsInGridView())));
}

std::uint64_t CNGridView::visibleRowsInGridView() const {
    return static_cast<std::uint64_t>(std::ceil(static_cast<float>(clippedRect().height()) / 150.0f));
}

QRectF CNGridView::rectForItemAtIndex(std::int64_t i) const {
    const auto cols = static_cast<std::int64_t>(columnsInGridView());
    return {static_cast<double>(i % cols) * kCell + contentInset_, static_cast<double>(i / cols) * kCell + contentInset_,
            kCell, kCell};
}

std::pair<std::int64_t, std::int64_t> CNGridView::visibleItemRange() const {
    const QRectF clip = clippedRect();
    const auto cols = static_cast<std::int64_t>(columnsInGridView());
    std::int64_t start = 0;
    if (clip.y() > kCell) start = (static_cast<std::int64_t>(std::ceil(clip.y() / kCell)) - 1) * cols;
    std::int64_t length =
        std::min<std::int64_t>(numberOfItems_, cols * (static_cast<std::int64_t>(visibleRowsInGridView()) + 1));
    if (start + length > numberOfItems_) length = start < numberOfItems_ ? numberOfItems_ - start : 0;
    return {start, length};
}

IndexSet CNGridView::visibleIndexes() const {
    IndexSet out;
    const auto [start, length] = visibleItemRange();
    for (std::int64_t i = start; i < start + length; ++i) out.insert(out.end(), i);
    return out;
}

IndexSet CNGridView::indexesForVisibleItems() const {
    IndexSet out;
    for (const auto& [key, item] : keyedVisibleItems_) out.insert(item->index());
    return out;
}

std::int64_t CNGridView::indexForItemAtLocation(const QPointF& at) const {
    const QPointF p(at.x(), at.y() + scrollY());
    const auto cols = static_cast<std::int64_t>(columnsInGridView());
    // A point on the right edge of the last column belongs to no item (it
    // would name the first item of the next row).
    if (p.x() >= static_cast<double>(cols) * kCell + contentInset_ || p.x() < contentInset_ || p.y() < contentInset_)
        return NSNotFound;
    const auto c = static_cast<std::int64_t>(std::floor((p.x() - contentInset_) / kCell));
    const auto r = static_cast<std::int64_t>(std::floor((p.y() - contentInset_) / kCell));
    const std::int64_t i = r * cols + c;
    return i >= numberOfItems_ ? NSNotFound : i;
}

std::int64_t CNGridView::boundIndexForItemAtLocation(const QPointF& p) const {
    const auto cols = static_cast<std::int64_t>(columnsInGridView());
    const double x = std::min(p.x(), static_cast<double>(cols) * kCell);
    return static_cast<std::int64_t>(std::floor(p.y() / kCell)) * cols + static_cast<std::int64_t>(std::floor(x / kCell));
}

CNItemPoint CNGridView::locationForItemAtIndex(std::int64_t i) const {
    const auto cols = static_cast<std::int64_t>(columnsInGridView());
    const std::int64_t row = i / cols + 1;
    return CNMakeItemPoint(static_cast<std::uint64_t>(i - (row - 1) * cols + 1), static_cast<std::uint64_t>(row));
}

void CNGridView::refreshInset() {
    contentInset_ = useCenterAlignment_
                        ? std::floor((static_cast<float>(clippedRect().width()) -
                                      static_cast<float>(columnsInGridView()) * 150.0f) /
                                     2.0f)
                        : 0.0;
}

// ---- refresh -------------------------------------------------------------------

void CNGridView::refreshGridViewAnimated(bool animated, bool initialCall) {
    isInitialCall_ = initialCall;
    const double h = static_cast<double>(allOverRowsInGridView()) * kCell + 2 * contentInset_;
    if (std::abs(h - frame_.height()) > 1) {
        frame_.setHeight(h);
        if (auto* scroll = parentWidget() ? qobject_cast<CNGridScrollView*>(parentWidget()->parentWidget()) : nullptr)
            scroll->syncRange();
    }
    refreshInset();
    platform::postToMainThread([this, life = std::weak_ptr<int>(life_), animated] {
        if (life.expired()) return;
        refreshInset();
        updateReuseableItems();
        updateVisibleItems();
        arrangeGridViewItemsAnimated(animated);
    });
}

void CNGridView::setFrame(const QRectF& r) {
    const bool widthChanged = r.width() != frame_.width();
    frame_ = r;
    refreshGridViewAnimated(widthChanged, true);
    platform::cancelPerforms(this);
    platform::performAfterDelay(300ms, [this] { refreshGridView(); }, this);
}

void CNGridView::updateVisibleRect() {
    updateReuseableItems();
    updateVisibleItems();
    arrangeGridViewItemsAnimated(false);
}

void CNGridView::pool(CNGridViewItemBase* item) {
    item->hide();
    item->prepareForReuse();
    reuseableItems_[item->reuseIdentifier()].push_back(item);
}

void CNGridView::dropItem(CNGridViewItemBase* item) {
    // The selection must not keep an item that is going.
    for (auto* map : {&selectedItems_, &selectedItemsBySelectionFrame_})
        std::erase_if(*map, [item](const auto& entry) { return entry.second == item; });
    item->hide();
    item->deleteLater();
}

void CNGridView::updateReuseableItems() {
    if (!selectedItems_.empty()) return;
    const auto [start, length] = visibleItemRange();
    for (auto it = keyedVisibleItems_.begin(); it != keyedVisibleItems_.end();) {
        CNGridViewItemBase* item = it->second;
        const std::int64_t i = item->index();
        if ((i < start || i >= start + length) && item->isReuseable()) {
            it = keyedVisibleItems_.erase(it);
            pool(item);
        } else {
            ++it;
        }
    }
}

void CNGridView::updateVisibleItems() {
    if (!dataSource_) return;
    const auto [start, length] = visibleItemRange();
    const IndexSet have = indexesForVisibleItems();
    for (std::int64_t i = start; i < start + length; ++i) {
        if (have.count(i)) continue;
        CNGridViewItemBase* item = dataSource_->itemAtIndex(this, i, 0);
        if (!item) continue;
        item->setIndex(i);
        if (isInitialCall_) {
            kit::setViewAlpha(item, 0.0);
            kit::takeOver(item, 0);
            placeItem(item, rectForItemAtIndex(i));
        }
        keyedVisibleItems_[i] = item;
        if (item->parentWidget() != this) item->setParent(this);
        placeItem(item, item->gridFrame());
        item->show();
    }
    if (selectionFrameView_) selectionFrameView_->raise();
}

void CNGridView::arrangeGridViewItemsAnimated(bool animated) {
    if (keyedVisibleItems_.empty()) return;
    if (isInitialCall_) {
        isInitialCall_ = false;
        kit::AnimationGroup group(0.35);
        for (const auto& [key, item] : keyedVisibleItems_) group.animateAlpha(item, 1.0);
        group.run();
        return;
    }
    kit::AnimationGroup group(animated ? 0.15 : 0.0);
    for (const auto& [key, item] : keyedVisibleItems_)
        group.animateFrame(item, item->gridFrame(), rectForItemAtIndex(key),
                           [this](QWidget* w, const QRectF& r) { placeItem(w, r); });
    group.run();
}

void CNGridView::placeItem(QWidget* w, const QRectF& r) {
    auto* item = static_cast<CNGridViewItemBase*>(w);
    item->setGridFrame(r);
    item->setGeometry(QRectF(r.x(), r.y() - scrollY(), r.width(), r.height()).toRect());
}

void CNGridView::placeAll() {
    for (const auto& [key, item] : keyedVisibleItems_) placeItem(item, item->gridFrame());
    if (selectionFrameView_) {
        const QRectF& r = selectionFrameView_->gridFrame;
        selectionFrameView_->setGeometry(QRectF(r.x(), r.y() - scrollY(), r.width(), r.height()).toRect());
    }
}

// ---- data -------------------------------------------------------------------------

void CNGridView::reloadDataAnimated(bool animated) {
    numberOfItems_ = dataSource_ ? static_cast<std::int64_t>(
                                       std::min<std::uint64_t>(dataSource_->numberOfItemsInSection(this, 0), INT64_MAX))
                                 : 0;
    for (const auto& [key, item] : keyedVisibleItems_) dropItem(item);
    keyedVisibleItems_.clear();
    for (auto& [id, items] : reuseableItems_)
        for (CNGridViewItemBase* item : items) dropItem(item);
    reuseableItems_.clear();
    refreshGridViewAnimated(animated, true);
}

std::vector<CNGridViewItemBase*> CNGridView::affectedItems(std::int64_t from, const IndexSet* only) const {
    std::vector<CNGridViewItemBase*> out;
    for (auto it = keyedVisibleItems_.rbegin(); it != keyedVisibleItems_.rend(); ++it)
        if (only ? only->count(it->first) != 0 : it->first >= from) out.push_back(it->second);
    return out;
}

void CNGridView::insertItemAtIndex(std::int64_t i, bool animated) {
    kit::AnimationGroup group(animated ? 0.15 : 0.0);
    for (CNGridViewItemBase* item : affectedItems(i, nullptr)) {
        const std::int64_t old = item->index();
        keyedVisibleItems_.erase(old);
        keyedVisibleItems_[old + 1] = item;
        item->setIndex(old + 1);
        group.animateFrame(item, item->gridFrame(), rectForItemAtIndex(old + 1),
                           [this](QWidget* w, const QRectF& r) { placeItem(w, r); });
    }
    group.run();
    ++numberOfItems_;
    refreshGridViewAnimated(animated, true);
}

void CNGridView::insertItemsAtIndexes(const IndexSet& set, bool animated) {
    if (set.empty()) return;
    // The contiguous ranges of the set, as (start, length).
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
    for (std::int64_t i : set) {
        if (!ranges.empty() && ranges.back().first + ranges.back().second == i)
            ++ranges.back().second;
        else
            ranges.push_back({i, 1});
    }
    kit::AnimationGroup group(animated ? 0.15 : 0.0);
    for (CNGridViewItemBase* item : affectedItems(*set.begin(), nullptr)) {
        const std::int64_t old = item->index();
        std::int64_t shift = 0;
        for (const auto& [start, length] : ranges)
            if (start < old) shift += length;
        keyedVisibleItems_.erase(old);
        keyedVisibleItems_[old + shift] = item;
        item->setIndex(old + shift);
        group.animateFrame(item, item->gridFrame(), rectForItemAtIndex(old + shift),
                           [this](QWidget* w, const QRectF& r) { placeItem(w, r); });
    }
    group.run();
    numberOfItems_ += static_cast<std::int64_t>(set.size());
    refreshGridViewAnimated(animated, false);
}

void CNGridView::takeOut(const std::vector<CNGridViewItemBase*>& items, bool animated, bool poolThem) {
    // Animated: shown at full alpha until the group ends, then let go (not pooled).
    std::vector<QPointer<CNGridViewItemBase>> gone;
    kit::AnimationGroup group(0.15);
    for (CNGridViewItemBase* item : items) {
        keyedVisibleItems_.erase(item->index());
        if (animated) {
            group.animateAlpha(item, 1.0);
            gone.push_back(item);
        } else if (poolThem) {
            pool(item);
        } else {
            dropItem(item);
        }
    }
    if (animated)
        group.run([this, life = std::weak_ptr<int>(life_), gone] {
            if (life.expired()) return;
            for (const auto& item : gone)
                if (item) dropItem(item);
        });
}

void CNGridView::reloadItemsAtIndexes(const IndexSet& set, bool animated) {
    if (set.empty()) return;
    takeOut(affectedItems(0, &set), animated, false);
    isInitialCall_ = true;
    refreshGridViewAnimated(animated, false);
}

void CNGridView::removeItemsAtIndexes(const IndexSet& set, bool animated) {
    if (set.empty()) return;
    takeOut(affectedItems(*set.begin(), nullptr), animated, true);
    // Removing indexes the grid does not have never takes the count below 0.
    numberOfItems_ = std::max<std::int64_t>(0, numberOfItems_ - static_cast<std::int64_t>(set.size()));
    refreshGridViewAnimated(animated, false);
}

CNGridViewItemBase* CNGridView::dequeueReusableItemWithIdentifier(const QString& id) {
    auto it = reuseableItems_.find(id);
    if (it == reuseableItems_.end() || it->second.empty()) return nullptr;
    CNGridViewItemBase* item = it->second.back();
    it->second.pop_back();
    item->setRepresentedObject(nullptr);
    return item;
}

CNGridViewItemBase* CNGridView::visibleItem(std::int64_t i) const {
    auto it = keyedVisibleItems_.find(i);
    return it == keyedVisibleItems_.end() ? nullptr : it->second;
}

std::size_t CNGridView::pooledItemCount() const {
    std::size_t n = 0;
    for (const auto& [id, items] : reuseableItems_) n += items.size();
    return n;
}

// ---- notifications and delegate ------------------------------------------------------

void CNGridView::post(const char* name, std::int64_t index) {
    platform::NotificationCenter::defaultCenter().post(name, {{CNGridViewItemIndexKey, std::to_string(index)}});
}

void CNGridView::hoverItemAtIndex(std::int64_t i) {
    post(CNGridViewWillHoverItemNotification, i);
    if (delegate_) delegate_->willHoverItemAtIndex(this, i, 0);
    lastHoveredIndex_ = i;
    if (auto* item = visibleItem(i)) item->setHovered(true);
}

void CNGridView::unHoverItemAtIndex(std::int64_t i) {
    post(CNGridViewWillUnhoverItemNotification, i);
    if (delegate_) delegate_->willUnhoverItemAtIndex(this, i, 0);
    if (auto* item = visibleItem(i)) item->setHovered(false);
}

void CNGridView::selectItem(CNGridViewItemBase* item) {
    if (!item || selectedItems_.count(item->index())) return;
    const std::int64_t i = item->index();
    post(CNGridViewWillSelectItemNotification, i);
    if (delegate_) delegate_->willSelectItemAtIndex(this, i, 0);
    item->setSelected(true);
    item->update();
    selectedItems_[i] = item;
    post(CNGridViewDidSelectItemNotification, i);
    if (delegate_) delegate_->didSelectItemAtIndex(this, i, 0);
}

void CNGridView::deSelectItem(CNGridViewItemBase* item) {
    if (!item || !selectedItems_.count(item->index())) return;
    const std::int64_t i = item->index();
    post(CNGridViewWillDeselectItemNotification, i);
    if (delegate_) delegate_->willDeselectItemAtIndex(this, i, 0);
    item->setSelected(false);
    item->update();
    selectedItems_.erase(i);
    post(CNGridViewDidDeselectItemNotification, i);
    if (delegate_) delegate_->didDeselectItemAtIndex(this, i, 0);
}

void CNGridView::deselectAllItems() {
    if (selectedItems_.empty()) return;
    auto& nc = platform::NotificationCenter::defaultCenter();
    const std::vector<CNGridViewItemBase*> items = selectedItems();
    nc.post(CNGridViewWillDeselectAllItemsNotification, {{CNGridViewSelectedItemsKey, joined(selectedIndexes())}});
    if (delegate_) delegate_->willDeselectAllItems(this, items);
    nc.post(CNGridViewDeSelectAllItemsNotification);
    selectedItems_.clear();
    nc.post(CNGridViewDidDeselectAllItemsNotification);
    if (delegate_) delegate_->gridViewDidDeselectAllItems(this);
}

void CNGridView::selectAllItems() {
    if (!dataSource_) return;
    const auto n = static_cast<std::int64_t>(dataSource_->numberOfItemsInSection(this, 0));
    for (std::int64_t i = 0; i < n; ++i) {
        CNGridViewItemBase* item = dataSource_->itemAtIndex(this, i, 0);
        if (!item) continue;
        if (!item->parentWidget()) {
            item->hide();
            item->setParent(this);
        }
        item->setSelected(true);
        item->setIndex(i);
        selectedItems_[i] = item;
    }
}

std::vector<CNGridViewItemBase*> CNGridView::selectedItems() const {
    std::vector<CNGridViewItemBase*> out;
    for (const auto& [key, item] : selectedItems_) out.push_back(item);
    return out;
}

IndexSet CNGridView::selectedIndexes() const {
    IndexSet out;
    for (const auto& [key, item] : selectedItems_) out.insert(item->index());
    return out;
}

void CNGridView::selectItemAtIndex(std::int64_t i, Qt::KeyboardModifiers flags) {
    if (i == NSNotFound) return;
    if (lastSelectedItemIndex_ != NSNotFound && lastSelectedItemIndex_ != i)
        deSelectItem(visibleItem(lastSelectedItemIndex_));
    CNGridViewItemBase* item = visibleItem(i);
    if (!item) return;
    const bool shift = flags & kShift, command = flags & kCommand;
    if (allowsMultipleSelection_) {
        if (!item->selected() && !shift && !command) {
            deselectAllItems();
            selectItem(item);
        } else if (item->selected() && command) {
            deSelectItem(item);
        } else if (!item->selected() && command) {
            selectItem(item);
        } else if (shift) {
            const IndexSet selected = selectedIndexes();
            if (selected.empty()) {
                selectItem(item);
            } else {
                const std::int64_t last = *selected.rbegin();
                for (std::int64_t k = std::min(last, i); k <= std::max(last, i); ++k)
                    if (auto* other = visibleItem(k); other && !other->selected()) selectItem(other);
            }
        } else if (item->selected()) {
            deselectAllItems();
            selectItem(item);
        }
    } else if (command && item->selected()) {
        deSelectItem(item);
    } else {
        selectItem(item);
    }
    lastSelectedItemIndex_ = allowsMultipleSelection_ ? NSNotFound : i;
}

void CNGridView::handleSingleClickForItemAtIndex(std::int64_t i) {
    if (i == NSNotFound) return;
    post(CNGridViewDidClickItemNotification, i);
    if (delegate_) delegate_->didClickItemAtIndex(this, i, 0);
}

void CNGridView::handleDoubleClickForItemAtIndex(std::int64_t i) {
    if (i == NSNotFound) return;
    post(CNGridViewDidDoubleClickItemNotification, i);
    if (delegate_) delegate_->didDoubleClickItemAtIndex(this, i, 0);
}

void CNGridView::handleClicks(const std::vector<QPointF>& clicks) {
    std::vector<std::int64_t> x;
    for (const QPointF& p : clicks) x.push_back(indexForItemAtLocation(p));
    if (x.size() == 1) {
        handleSingleClickForItemAtIndex(x[0]);
    } else if (x.size() == 2) {
        if (x[0] == x[1]) {
            handleDoubleClickForItemAtIndex(x[0]);
        } else {
            handleSingleClickForItemAtIndex(x[0]);
            handleSingleClickForItemAtIndex(x[1]);
        }
    } else if (x.size() == 3) {
        if (x[0] == x[1] && x[1] == x[2]) {
            handleDoubleClickForItemAtIndex(x[0]);
        } else if (x[0] == x[1]) {
            handleDoubleClickForItemAtIndex(x[0]);
            handleSingleClickForItemAtIndex(x[2]);
        } else if (x[1] == x[2]) {
            handleSingleClickForItemAtIndex(x[0]);
            handleDoubleClickForItemAtIndex(x[2]);
        } else {
            for (std::int64_t i : x) handleSingleClickForItemAtIndex(i);
        }
    }
}

// ---- rubber band ------------------------------------------------------------

void CNGridView::drawSelectionFrameForMousePointerAtLocation(const QPointF& p) {
    if (!selectionFrameView_) {
        selectionFrameInitialPoint_ = p;
        selectionFrameView_ = new CNSelectionFrameView(this);
        selectionFrameView_->gridFrame = QRectF(p, QSizeF(0, 0));
        selectionFrameView_->show();
        placeAll();
        return;
    }
    const QPointF s = selectionFrameInitialPoint_;
    const QRectF clip = clippedRect();
    const double cols = static_cast<double>(columnsInGridView()) * kCell;
    const double x = std::max(std::ceil(std::min(p.x(), s.x())), clip.x());
    const double y = std::max(std::ceil(std::min(p.y(), s.y())), clip.y());
    double w = p.x() <= s.x() ? s.x() - x : p.x() - s.x();
    if (x + w >= cols) w = cols - x - 1;
    double h = p.y() <= s.y() ? s.y() - y : p.y() - s.y();
    if (y + h > clip.y() + clip.height()) h = clip.y() + clip.height() - y;
    selectionFrameView_->gridFrame = QRectF(x, y, w, h);
    placeAll();
    selectionFrameView_->raise();
}

void CNGridView::selectItemsCoveredBySelectionFrame(const QRectF& r, Qt::KeyboardModifiers flags) {
    CNItemPoint tl = locationForItemAtIndex(boundIndexForItemAtLocation(r.topLeft()));
    CNItemPoint br = locationForItemAtIndex(boundIndexForItemAtLocation(QPointF(r.x() + r.width(), r.y() + r.height())));
    for (const auto& [index, visible] : keyedVisibleItems_) {
        auto f = selectedItemsBySelectionFrame_.find(index);
        if (f == selectedItemsBySelectionFrame_.end()) continue;
        const CNItemPoint at = locationForItemAtIndex(f->second->index());
        if (at.column >= tl.column && at.column <= br.column && at.row >= tl.row && at.row <= br.row) continue;
        auto s = selectedItems_.find(index);
        if (s != selectedItems_.end() && s->second == f->second) {
            f->second->setSelected(true);
        } else {
            f->second->setSelected(false);
            f->second->update();
            selectedItemsBySelectionFrame_.erase(f);
        }
    }
    const bool counts = r.width() > 0 && r.height() > 0;
    const std::uint64_t cols = columnsInGridView();
    const auto rows = static_cast<std::uint64_t>(std::ceil(static_cast<double>(numberOfItems_) / static_cast<double>(cols)));
    tl.row = std::min(tl.row, rows), br.row = std::min(br.row, rows);
    tl.column = std::min(tl.column, cols), br.column = std::min(br.column, cols);
    for (std::uint64_t row = tl.row; row <= br.row && row >= 1; ++row)
        for (std::uint64_t column = tl.column; column <= br.column && column >= 1; ++column) {
            const auto index = static_cast<std::int64_t>((row - 1) * cols + column - 1);
            CNGridViewItemBase* item = visibleItem(index);
            if (!item || !counts) continue;
            selectedItemsBySelectionFrame_[index] = item;
            auto s = selectedItems_.find(index);
            const bool wasSelected = s != selectedItems_.end() && s->second == item;
            item->setSelected((flags & kCommand) ? !wasSelected : true);
            item->update();
        }
}

void CNGridView::mouseDragged(const QPointF& at, Qt::KeyboardModifiers flags) {
    if (!allowsMultipleSelection_ || !allowsMultipleSelectionWithDrag_) return;
    mouseHasDragged_ = true;
    if (abortSelection_) return;
    drawSelectionFrameForMousePointerAtLocation(QPointF(at.x(), at.y() + scrollY()));
    selectItemsCoveredBySelectionFrame(selectionFrameView_->gridFrame, flags);
}

// ---- events -------------------------------------------------------------------

void CNGridView::paintEvent(QPaintEvent*) {}

void CNGridView::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton) {
        mouseDragged(event->position(), event->modifiers());
        return;
    }
    if (!useHover_) return;
    const std::int64_t i = indexForItemAtLocation(event->position());
    if (i == NSNotFound && lastHoveredIndex_ == NSNotFound) return;
    if (lastHoveredIndex_ != NSNotFound && lastHoveredIndex_ != i) unHoverItemAtIndex(lastHoveredIndex_);
    if (lastHoveredIndex_ != i) hoverItemAtIndex(i);
}

void CNGridView::leaveEvent(QEvent*) { lastHoveredIndex_ = NSNotFound; }

void CNGridView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) rightMouseDown(event->position());
}

void CNGridView::mouseReleaseEvent(QMouseEvent*) {}

void CNGridView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) abortSelection_ = true;
    QWidget::keyPressEvent(event);
}

void CNGridView::rightMouseDown(const QPointF& p) {
    const std::int64_t i = indexForItemAtLocation(p);
    if (i == NSNotFound) {
        deselectAllItems();
        return;
    }
    IndexSet indexes = selectedIndexes();
    if (!indexes.count(i)) {
        indexes = {i};
        deselectAllItems();
        selectItem(visibleItem(i));
    }
    if (!itemContextMenu_) return;
    QVariantList carried;
    for (std::int64_t k : indexes) carried << QVariant::fromValue<qlonglong>(k);
    for (QAction* a : itemContextMenu_->actions()) a->setData(carried);
    const QPoint global = mapToGlobal(p.toPoint());
    if (popUpMenu)
        popUpMenu(itemContextMenu_, global);
    else
        itemContextMenu_->exec(global);
    platform::NotificationCenter::defaultCenter().post(CNGridViewRightMouseButtonClickedOnItemNotification,
                                                       {{CNGridViewItemsIndexSetKey, joined(indexes)}});
    if (delegate_) delegate_->didActivateContextMenuWithIndexes(this, indexes, 0);
}

// ---- scroll view ----------------------------------------------------------------

CNGridScrollView::CNGridScrollView(QWidget* parent) : QAbstractScrollArea(parent) {
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    grid_ = new CNGridView(viewport());
    grid_->setBackgroundColor(QColor());
    verticalScrollBar()->setSingleStep(30);
}

void CNGridScrollView::syncRange() {
    const int page = viewport()->height();
    const double max = std::max(0.0, std::ceil(grid_->frame().height()) - page);
    verticalScrollBar()->setPageStep(page);
    verticalScrollBar()->setRange(0, static_cast<int>(std::min<double>(max, INT_MAX)));
}

void CNGridScrollView::scrollToY(double y) { verticalScrollBar()->setValue(static_cast<int>(std::clamp<double>(y, 0, INT_MAX))); }

void CNGridScrollView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    grid_->setGeometry(viewport()->rect());
    grid_->setFrame(QRectF(0, 0, viewport()->width(), grid_->frame().height()));
    syncRange();
}

void CNGridScrollView::scrollContentsBy(int, int) {
    grid_->placeAll();
    grid_->updateVisibleRect();
}

} // namespace salvor::widgets
