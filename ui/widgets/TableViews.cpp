#include "ui/widgets/TableViews.h"

#include "platform/Localization.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/Geometry.h"
#include "ui/kit/NamedImages.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/OverlayScroller.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>

#include <algorithm>

namespace salvor::widgets {

namespace {

// Paints every cell through its column's cell; asks nothing of the model.
class CellPainter : public QStyledItemDelegate {
public:
    CellPainter(CellViewHost* host, QObject* parent) : QStyledItemDelegate(parent), host_(host) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (Cell* cell = host_->preparedCell(index)) cell->draw(*painter, option.rect);
    }
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override {
        return {host_->column(index.column())->width, host_->rowHeight()};
    }

private:
    CellViewHost* host_;
};

// The dark look: no system selection, transparent base (the views paint
// their own rows).
void darken(QWidget* w) {
    QPalette pal = w->palette();
    for (auto role : {QPalette::Base, QPalette::AlternateBase, QPalette::Highlight, QPalette::Window})
        pal.setColor(role, Qt::transparent);
    pal.setColor(QPalette::Text, Qt::white);
    w->setPalette(pal);
}

// The keyboard's row: a ring inside the row, as the platform marks the
// focused item, light enough to stand 3:1 from every row colour.
void paintFocusRow(QAbstractItemView* view, int top, int height) {
    if (!view->hasFocus() || !view->currentIndex().isValid()) return;
    QPainter p(view->viewport());
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(focusRingColor(), 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRect(1, top + 1, view->viewport()->width() - 2, height - 2));
}

} // namespace

// ---- CellViewHost ----------------------------------------------------------

TableColumn* CellViewHost::tableColumnWithIdentifier(const QString& identifier) const {
    for (const auto& c : columns_)
        if (c->identifier == identifier) return c.get();
    return nullptr;
}

TableColumn* CellViewHost::appendColumn(const QString& identifier, const QString& title, int width,
                                        std::unique_ptr<Cell> cell) {
    auto c = std::make_unique<TableColumn>();
    c->identifier = identifier;
    c->width = width;
    c->dataCell = cell ? std::move(cell) : std::make_unique<ImageAndTextCell>();
    c->headerCell = std::make_unique<CustomHeaderCell>(title);
    columns_.push_back(std::move(c));
    return columns_.back().get();
}

int CellViewHost::checkBoxColumn() const {
    for (int i = 0; i < columnCount(); ++i)
        if (column(i)->dataCell->hasCheckBox()) return i;
    return -1;
}

int CellViewHost::textColumn() const {
    for (int i = 0; i < columnCount(); ++i)
        if (column(i)->dataCell->isTextCell()) return i;
    return -1;
}

bool CellViewHost::clickCell(QAbstractItemView* view, const QPoint& pos) {
    const QModelIndex index = view->indexAt(pos);
    if (!index.isValid()) return false;
    Cell* cell = preparedCell(index);
    return cell && cell->click(pos, view->visualRect(index));
}

bool CellViewHost::handleKey(QAbstractItemView* view, QKeyEvent* event) {
    const bool space = event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier;
    const bool searching = typing_.isValid() && typing_.elapsed() < QApplication::keyboardInputInterval();
    if (!space || searching) {
        if (!event->text().isEmpty() && event->text().at(0).isPrint()) typing_.start();
        return false;
    }
    const QModelIndex index = view->currentIndex();
    const int c = checkBoxColumn();
    if (!index.isValid() || c < 0) return true;
    const QModelIndex at = index.siblingAtColumn(c);
    if (Cell* cell = preparedCell(at)) cell->clickCheckBox(view->visualRect(at));
    return true;
}

void CellViewHost::setUpView(QAbstractItemView* view, QHeaderView* header) {
    view->setItemDelegate(new CellPainter(this, view));
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setFrameShape(QFrame::NoFrame);
    view->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    view->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    view->viewport()->setAutoFillBackground(false);
    darken(view);
    darken(view->viewport());
    header->setFixedHeight(25);
    header->setSectionsClickable(true);
    header->setHighlightSections(false);
    header->setStretchLastSection(true);
}

CellHeaderView::CellHeaderView(CellViewHost* host, QWidget* parent)
    : QHeaderView(Qt::Horizontal, parent), host_(host) {}

void CellHeaderView::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    if (logicalIndex < 0 || logicalIndex >= host_->columnCount()) return;
    if (HeaderCell* cell = host_->column(logicalIndex)->headerCell.get())
        cell->draw(*painter, rect, false);
}

// ---- TableAdapter ----------------------------------------------------------

int TableAdapter::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() || reloading_) return 0;
    if (rows_ < 0) rows_ = std::max(0, count_());
    return rows_;
}

int TableAdapter::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : host_->columnCount(); }

QVariant TableAdapter::data(const QModelIndex& index, int role) const {
    // Only type-ahead reads the model; the cells draw from the data source.
    if (role != Qt::DisplayRole || reloading_ || !index.isValid()) return {};
    return host_->objectValue(index);
}

QVariant TableAdapter::headerData(int section, Qt::Orientation o, int role) const {
    if (o != Qt::Horizontal || role != Qt::DisplayRole || section >= host_->columnCount()) return {};
    return host_->column(section)->headerCell->title;
}

void TableAdapter::beginReload() {
    if (reloading_) return;
    beginResetModel();
    reloading_ = true;
}

void TableAdapter::endReload() {
    beginReload();
    rows_ = -1;
    reloading_ = false;
    endResetModel();
}

// ---- OutlineAdapter --------------------------------------------------------

struct OutlineAdapter::Node {
    OutlineItem item = nullptr;
    Node* parent = nullptr;
    int row = 0;
    int count = -1;      // children, unknown until asked
    int expandable = -1; // unknown until asked
    std::vector<std::unique_ptr<Node>> children;
};

OutlineAdapter::OutlineAdapter(OutlineView* view, CellViewHost* host) : view_(view), host_(host) {}
OutlineAdapter::~OutlineAdapter() = default;

OutlineAdapter::Node* OutlineAdapter::node(const QModelIndex& index) const {
    if (!root_) {
        root_ = std::make_unique<Node>();
        root_->expandable = 1;
    }
    return index.isValid() ? static_cast<Node*>(index.internalPointer()) : root_.get();
}

int OutlineAdapter::childCount(Node* n) const {
    OutlineViewDataSource* ds = view_->dataSource();
    if (!ds || reloading_) return 0;
    if (n->expandable < 0) n->expandable = ds->isItemExpandable(view_, n->item) ? 1 : 0;
    if (n->count < 0) n->count = n->expandable ? std::max(0, ds->numberOfChildrenOfItem(view_, n->item)) : 0;
    return n->count;
}

QModelIndex OutlineAdapter::index(int row, int column, const QModelIndex& parent) const {
    if (reloading_ || column < 0 || column >= host_->columnCount() || row < 0) return {};
    Node* p = node(parent);
    const int count = childCount(p);
    if (row >= count) return {};
    if (p->children.size() < static_cast<size_t>(count)) p->children.resize(static_cast<size_t>(count));
    auto& slot = p->children[static_cast<size_t>(row)];
    if (!slot) {
        slot = std::make_unique<Node>();
        slot->parent = p;
        slot->row = row;
        slot->item = view_->dataSource()->child(view_, row, p->item);
    }
    return createIndex(row, column, slot.get());
}

QModelIndex OutlineAdapter::parent(const QModelIndex& child) const {
    if (!child.isValid() || reloading_) return {};
    Node* p = node(child)->parent;
    if (!p || p == root_.get()) return {};
    return createIndex(p->row, 0, p);
}

int OutlineAdapter::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    return childCount(node(parent));
}

int OutlineAdapter::columnCount(const QModelIndex&) const { return host_->columnCount(); }

bool OutlineAdapter::hasChildren(const QModelIndex& parent) const {
    if (reloading_ || parent.column() > 0 || !view_->dataSource()) return false;
    Node* n = node(parent);
    if (!parent.isValid()) return childCount(n) > 0;
    if (n->expandable < 0) n->expandable = view_->dataSource()->isItemExpandable(view_, n->item) ? 1 : 0;
    return n->expandable == 1;
}

QVariant OutlineAdapter::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || reloading_ || !index.isValid()) return {};
    return host_->objectValue(index);
}

QVariant OutlineAdapter::headerData(int section, Qt::Orientation o, int role) const {
    if (o != Qt::Horizontal || role != Qt::DisplayRole || section >= host_->columnCount()) return {};
    return host_->column(section)->headerCell->title;
}

OutlineItem OutlineAdapter::itemAt(const QModelIndex& index) const {
    return index.isValid() && !reloading_ ? node(index)->item : nullptr;
}

std::vector<QModelIndex> OutlineAdapter::madeChildren(const QModelIndex& parent) const {
    std::vector<QModelIndex> out;
    if (reloading_) return out;
    for (const auto& c : node(parent)->children)
        if (c) out.push_back(createIndex(c->row, 0, c.get()));
    return out;
}

void OutlineAdapter::beginReload() {
    if (reloading_) return;
    beginResetModel();
    reloading_ = true;
}

void OutlineAdapter::endReload() {
    beginReload();
    root_.reset(); // forgets every item of the data source
    reloading_ = false;
    endResetModel();
}

// ---- CustomTableView -------------------------------------------------------

CustomTableView::CustomTableView(QWidget* parent) : QTableView(parent) {
    adapter_ = new TableAdapter(this, [this] { return dataSource_ ? dataSource_->numberOfRowsInTableView(this) : 0; });
    setHorizontalHeader(new CellHeaderView(this, this));
    adapter_->setParent(this);
    setModel(adapter_);
    setUpView(this, horizontalHeader());
    setShowGrid(false);
    setWordWrap(false);
    setCornerButtonEnabled(false);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setMinimumSectionSize(1);
    verticalHeader()->setDefaultSectionSize(rowHeight_);
    kit::setFlipped(this, true);
    overlay_ = new RFOverlayScrollView(this);
    overlay_->setHeaderOffset(horizontalHeader()->height());
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (delegate_) delegate_->selectionDidChange(this);
    });
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int section) {
        if (delegate_ && section < columnCount()) delegate_->didClickTableColumn(this, column(section));
    });
}

CustomTableView::~CustomTableView() { setModel(nullptr); }

TableColumn* CustomTableView::addTableColumn(const QString& identifier, const QString& title, int width,
                                             std::unique_ptr<Cell> cell) {
    TableColumn* c = appendColumn(identifier, title, width, std::move(cell));
    adapter_->endReload();
    for (int i = 0; i < columnCount(); ++i) horizontalHeader()->resizeSection(i, column(i)->width);
    return c;
}

void CustomTableView::setRowHeight(int h) {
    rowHeight_ = h;
    verticalHeader()->setDefaultSectionSize(h);
}

void CustomTableView::willReloadData() { adapter_->beginReload(); }

void CustomTableView::reloadData() {
    const QPoint scroll(horizontalScrollBar()->value(), verticalScrollBar()->value());
    adapter_->endReload();
    updateGeometries();
    horizontalScrollBar()->setValue(scroll.x());
    verticalScrollBar()->setValue(scroll.y());
    viewport()->update();
}

void CustomTableView::setRowNum(int row) {
    if (row == rowNum_) return;
    rowNum_ = row;
    viewport()->update();
}

Cell* CustomTableView::preparedCell(const QModelIndex& index) {
    if (adapter_->reloading() || !index.isValid() || index.column() >= columnCount()) return nullptr;
    TableColumn* c = column(index.column());
    c->dataCell->objectValue = objectValue(index);
    if (delegate_) delegate_->willDisplayCell(this, c->dataCell.get(), c, index.row());
    return c->dataCell.get();
}

QVariant CustomTableView::objectValue(const QModelIndex& index) {
    if (!dataSource_ || adapter_->reloading()) return {};
    return dataSource_->objectValueForTableColumn(this, column(index.column()), index.row());
}

void CustomTableView::changeNoValue(bool hasValues) {
    if (hasValues) {
        delete noValueView_;
        noValueView_ = nullptr;
        return;
    }
    if (noValueView_) return;
    const QSize s = size();
    noValueView_ = new QWidget(this);
    kit::setFrame(noValueView_, {0, 0, double(s.width()), double(s.height())},
                  kit::kViewWidthSizable | kit::kViewHeightSizable);
    auto* image = new QLabel(noValueView_);
    image->setPixmap(kit::namedPixmap(QStringLiteral("text_bg")));
    image->setScaledContents(true);
    kit::setFrame(image, {0, 0, double(s.width()), double(s.height())},
                  kit::kViewWidthSizable | kit::kViewHeightSizable);
    auto* note = new QLabel(platform::localizedString("PQX_FOUR_NO_VALUE_NOTE"), noValueView_);
    note->setAlignment(Qt::AlignCenter);
    note->setFont(kit::systemFont(14));
    QPalette pal = note->palette();
    pal.setColor(QPalette::WindowText, emptyNoteColor());
    note->setPalette(pal);
    kit::setFrame(note, {s.width() / 2.0 - 200, s.height() / 2.0, 400, 20});
    noValueView_->show();
    noValueView_->raise();
    overlay_->tile();
}

void CustomTableView::paintEvent(QPaintEvent* event) {
    // Stripes and the chosen row under the cells. Nothing here asks for
    // another paint: the view redraws when the chosen row, the data or the
    // size changes.
    {
        QPainter p(viewport());
        const int rows = adapter_->rowCount();
        paintStripes(p, viewport()->width(), verticalOffset(), viewport()->height(), rows * rowHeight_);
        if (rowNum_ >= 0 && rowNum_ < rows)
            p.fillRect(QRect(0, rowViewportPosition(rowNum_), viewport()->width(), rowHeight_), chosenRowColor());
    }
    if (adapter_->reloading()) return;
    QTableView::paintEvent(event);
    paintFocusRow(this, rowViewportPosition(currentIndex().row()), rowHeight_);
}

void CustomTableView::focusInEvent(QFocusEvent* event) {
    QTableView::focusInEvent(event);
    viewport()->update();
}

void CustomTableView::focusOutEvent(QFocusEvent* event) {
    QTableView::focusOutEvent(event);
    viewport()->update();
}

void CustomTableView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    viewport()->update();
}

void CustomTableView::mousePressEvent(QMouseEvent* event) {
    // A vetoed row takes no click at all (neither selection nor cursor).
    const QModelIndex at = indexAt(event->position().toPoint());
    if (at.isValid() && delegate_ && !delegate_->shouldSelectRow(this, at.row())) return;
    if (event->button() == Qt::LeftButton && clickCell(this, event->position().toPoint())) return;
    QTableView::mousePressEvent(event);
}

void CustomTableView::keyPressEvent(QKeyEvent* event) {
    if (!handleKey(this, event)) QTableView::keyPressEvent(event);
}

void CustomTableView::keyboardSearch(const QString& search) {
    const int c = textColumn();
    if (c >= 0 && currentIndex().column() != c)
        selectionModel()->setCurrentIndex(model()->index(std::max(0, currentIndex().row()), c),
                                          QItemSelectionModel::NoUpdate);
    QTableView::keyboardSearch(search);
}

QItemSelectionModel::SelectionFlags CustomTableView::selectionCommand(const QModelIndex& index,
                                                                      const QEvent* event) const {
    if (index.isValid() && delegate_ && !delegate_->shouldSelectRow(const_cast<CustomTableView*>(this), index.row()))
        return QItemSelectionModel::NoUpdate;
    return QTableView::selectionCommand(index, event);
}

// ---- OutlineView -----------------------------------------------------------

OutlineView::OutlineView(QWidget* parent) : QTreeView(parent) {
    adapter_ = new OutlineAdapter(this, this);
    setHeader(new CellHeaderView(this, this));
    adapter_->setParent(this);
    setModel(adapter_);
    setUpView(this, header());
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setIndentation(16);
    overlay_ = new RFOverlayScrollView(this);
    overlay_->setHeaderOffset(header()->height());
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (delegate_) delegate_->selectionDidChange(this);
    });
    connect(this, &QTreeView::expanded, this, [this](const QModelIndex& i) {
        if (delegate_ && !savedExpanded_.count(adapter_->itemAt(i))) delegate_->itemDidExpand(this, adapter_->itemAt(i));
    });
    connect(this, &QTreeView::collapsed, this, [this](const QModelIndex& i) {
        if (delegate_) delegate_->itemDidCollapse(this, adapter_->itemAt(i));
    });
    connect(header(), &QHeaderView::sectionPressed, this, [this](int section) {
        if (delegate_ && section < columnCount()) delegate_->mouseDownInHeaderOfTableColumn(this, column(section));
    });
}

OutlineView::~OutlineView() { setModel(nullptr); }

TableColumn* OutlineView::addTableColumn(const QString& identifier, const QString& title, int width,
                                         std::unique_ptr<Cell> cell) {
    TableColumn* c = appendColumn(identifier, title, width, std::move(cell));
    adapter_->endReload();
    for (int i = 0; i < columnCount(); ++i) header()->resizeSection(i, column(i)->width);
    return c;
}

void OutlineView::setRowHeight(int h) {
    rowHeight_ = h;
    scheduleDelayedItemsLayout();
}

OutlineView::ShownItem OutlineView::shownItem(const QModelIndex& index) {
    const int c = textColumn();
    return {adapter_->itemAt(index.parent()), objectValue(index.siblingAtColumn(std::max(c, 0)))};
}

void OutlineView::collectExpanded(const QModelIndex& parent) {
    for (const QModelIndex& i : adapter_->madeChildren(parent))
        if (isExpanded(i)) {
            savedExpanded_[adapter_->itemAt(i)] = shownItem(i);
            collectExpanded(i);
        }
}

void OutlineView::restoreExpanded(const QModelIndex& parent) {
    const int rows = adapter_->rowCount(parent);
    for (int r = 0; r < rows; ++r) {
        const QModelIndex i = adapter_->index(r, 0, parent);
        const auto saved = savedExpanded_.find(adapter_->itemAt(i));
        // An address alone may be a new item's that took a freed one's place.
        if (saved == savedExpanded_.end() || !(saved->second == shownItem(i))) continue;
        expand(i);
        restoreExpanded(i);
    }
}

void OutlineView::willReloadData() {
    if (adapter_->reloading()) return;
    // Identities and offsets are taken while the items still exist; the
    // adapter then forgets them before the owner frees them.
    savedExpanded_.clear();
    collectExpanded({});
    savedScroll_ = QPoint(horizontalScrollBar()->value(), verticalScrollBar()->value());
    adapter_->beginReload();
}

void OutlineView::reloadData() {
    willReloadData();
    adapter_->endReload();
    if (!savedExpanded_.empty()) restoreExpanded({});
    savedExpanded_.clear();
    executeDelayedItemsLayout();
    horizontalScrollBar()->setValue(savedScroll_.x());
    verticalScrollBar()->setValue(savedScroll_.y());
    viewport()->update();
}

OutlineItem OutlineView::itemAtRow(int row) const {
    if (row < 0) return nullptr;
    return adapter_->itemAt(indexAt(QPoint(1, row * rowHeight_ - verticalOffset() + rowHeight_ / 2)));
}

QModelIndex OutlineView::indexForItem(OutlineItem item) const {
    // Only items the view was given can be found: depth first over them.
    std::vector<QModelIndex> stack = adapter_->madeChildren({});
    while (!stack.empty()) {
        const QModelIndex i = stack.back();
        stack.pop_back();
        if (adapter_->itemAt(i) == item) return i;
        for (const QModelIndex& c : adapter_->madeChildren(i)) stack.push_back(c);
    }
    return {};
}

int OutlineView::rowForItem(OutlineItem item) const {
    const QModelIndex i = indexForItem(item);
    const QRect r = i.isValid() ? visualRect(i) : QRect();
    return r.isValid() ? (r.top() + verticalOffset()) / rowHeight_ : -1;
}

OutlineItem OutlineView::parentForItem(OutlineItem item) const {
    return adapter_->itemAt(indexForItem(item).parent());
}

bool OutlineView::isItemExpanded(OutlineItem item) const {
    const QModelIndex i = indexForItem(item);
    return i.isValid() && isExpanded(i);
}

void OutlineView::expandItem(OutlineItem item) { expand(indexForItem(item)); }
void OutlineView::collapseItem(OutlineItem item) { collapse(indexForItem(item)); }

OutlineItem OutlineView::selectedItem() const {
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? nullptr : adapter_->itemAt(rows.first());
}

void OutlineView::setIsSelectRow(int row) {
    if (row == isSelectRow_) return;
    isSelectRow_ = row;
    viewport()->update();
}

Cell* OutlineView::preparedCell(const QModelIndex& index) {
    if (adapter_->reloading() || !index.isValid() || index.column() >= columnCount()) return nullptr;
    TableColumn* c = column(index.column());
    c->dataCell->objectValue = objectValue(index);
    if (delegate_) delegate_->willDisplayCell(this, c->dataCell.get(), c, adapter_->itemAt(index));
    return c->dataCell.get();
}

QVariant OutlineView::objectValue(const QModelIndex& index) {
    if (!dataSource_ || adapter_->reloading()) return {};
    return dataSource_->objectValueForTableColumn(this, column(index.column()), adapter_->itemAt(index));
}

void OutlineView::drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const int row = (option.rect.top() + verticalOffset()) / rowHeight_;
    const QRect r(0, option.rect.top(), viewport()->width(), option.rect.height());
    if (row == isSelectRow_)
        painter->fillRect(r, chosenRowColor());
    else if (fillsEveryRow())
        painter->fillRect(r, outlineRowColor());
    QStyleOptionViewItem o = option;
    o.state &= ~QStyle::State_Selected; // the system selection is never drawn
    QTreeView::drawRow(painter, o, index);
}

void OutlineView::drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const {
    if (!index.isValid() || !model()->hasChildren(index)) return;
    // The arrow sits in the last indentation step before the row's text.
    const int step = indentation();
    const QRectF cell(rect.right() - step + 1, rect.top(), step, rect.height());
    const double s = std::min(cell.width(), cell.height()) * 0.32;
    const QPointF c = cell.center();
    QPolygonF arrow;
    if (isExpanded(index))
        arrow << QPointF(c.x() - s, c.y() - s / 2) << QPointF(c.x() + s, c.y() - s / 2) << QPointF(c.x(), c.y() + s * 0.7);
    else
        arrow << QPointF(c.x() - s / 2, c.y() - s) << QPointF(c.x() + s * 0.7, c.y()) << QPointF(c.x() - s / 2, c.y() + s);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(Qt::NoPen);
    painter->setBrush(QColor(175, 186, 219));
    painter->drawPolygon(arrow);
    painter->restore();
}

void OutlineView::paintEvent(QPaintEvent* event) {
    if (!fillsEveryRow() || adapter_->reloading()) {
        QPainter p(viewport());
        paintStripes(p, viewport()->width(), verticalOffset(), viewport()->height(),
                     verticalScrollBar()->maximum() + viewport()->height());
    }
    if (adapter_->reloading()) return;
    QTreeView::paintEvent(event);
    const QRect current = visualRect(currentIndex());
    if (current.isValid()) paintFocusRow(this, current.top(), current.height());
}

void OutlineView::focusInEvent(QFocusEvent* event) {
    QTreeView::focusInEvent(event);
    viewport()->update();
}

void OutlineView::focusOutEvent(QFocusEvent* event) {
    QTreeView::focusOutEvent(event);
    viewport()->update();
}

void OutlineView::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTreeView::currentChanged(current, previous);
    viewport()->update();
}

void OutlineView::mousePressEvent(QMouseEvent* event) {
    const QModelIndex at = indexAt(event->position().toPoint());
    if (at.isValid() && delegate_ && !delegate_->shouldSelectItem(this, adapter_->itemAt(at))) return;
    if (event->button() == Qt::LeftButton && clickCell(this, event->position().toPoint())) return;
    QTreeView::mousePressEvent(event);
}

void OutlineView::keyPressEvent(QKeyEvent* event) {
    if (!handleKey(this, event)) QTreeView::keyPressEvent(event);
}

void OutlineView::keyboardSearch(const QString& search) {
    const int c = textColumn();
    if (c >= 0 && currentIndex().isValid() && currentIndex().column() != c)
        selectionModel()->setCurrentIndex(currentIndex().siblingAtColumn(c), QItemSelectionModel::NoUpdate);
    QTreeView::keyboardSearch(search);
}

QItemSelectionModel::SelectionFlags OutlineView::selectionCommand(const QModelIndex& index, const QEvent* event) const {
    if (index.isValid() && delegate_ &&
        !delegate_->shouldSelectItem(const_cast<OutlineView*>(this), adapter_->itemAt(index)))
        return QItemSelectionModel::NoUpdate;
    return QTreeView::selectionCommand(index, event);
}

} // namespace salvor::widgets
