#pragma once
// The file lists (CustomTableView) and trees (CustemOutlineView for the
// result trees, VXCustomOutlineView for the device tree). Their owners answer
// data-source and delegate calls; every call has an empty default body. One
// lazy adapter model stands between a view and its data source: a row is
// asked for only when the view shows it, and an item's parent is known from
// the call that produced the item.
//
// Items are the owner's pointers and are never dereferenced here. Before an
// owner frees the items a view shows it calls willReloadData(); reloadData()
// then asks for the new ones, keeps expanded items and the scroll offset. An
// item stays expanded only when it comes back under the same parent showing
// the same text: a new item that gets a freed one's address starts collapsed.
#include "ui/widgets/Cells.h"

#include <QAbstractItemModel>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QTableView>
#include <QTreeView>

#include <map>
#include <memory>
#include <set>
#include <vector>

class QLabel;

namespace salvor::widgets {

class CustomTableView;
class OutlineView;
class RFOverlayScrollView;

struct TableColumn {
    QString identifier;
    int width = 100;
    std::unique_ptr<Cell> dataCell;
    std::unique_ptr<HeaderCell> headerCell;
};

class TableViewDataSource {
public:
    virtual ~TableViewDataSource() = default;
    virtual int numberOfRowsInTableView(CustomTableView*) { return 0; }
    virtual QVariant objectValueForTableColumn(CustomTableView*, TableColumn*, int /*row*/) { return {}; }
};

class TableViewDelegate {
public:
    virtual ~TableViewDelegate() = default;
    virtual void willDisplayCell(CustomTableView*, Cell*, TableColumn*, int /*row*/) {}
    virtual bool shouldSelectRow(CustomTableView*, int /*row*/) { return true; }
    virtual void selectionDidChange(CustomTableView*) {}
    virtual void didClickTableColumn(CustomTableView*, TableColumn*) {}
};

using OutlineItem = void*; // none: the invisible root

class OutlineViewDataSource {
public:
    virtual ~OutlineViewDataSource() = default;
    virtual int numberOfChildrenOfItem(OutlineView*, OutlineItem) { return 0; }
    virtual OutlineItem child(OutlineView*, int /*index*/, OutlineItem) { return nullptr; }
    virtual bool isItemExpandable(OutlineView*, OutlineItem) { return false; }
    virtual QVariant objectValueForTableColumn(OutlineView*, TableColumn*, OutlineItem) { return {}; }
};

class OutlineViewDelegate {
public:
    virtual ~OutlineViewDelegate() = default;
    virtual void willDisplayCell(OutlineView*, Cell*, TableColumn*, OutlineItem) {}
    virtual bool shouldSelectItem(OutlineView*, OutlineItem) { return true; }
    virtual void selectionDidChange(OutlineView*) {}
    virtual void itemDidExpand(OutlineView*, OutlineItem) {}
    virtual void itemDidCollapse(OutlineView*, OutlineItem) {}
    virtual void mouseDownInHeaderOfTableColumn(OutlineView*, TableColumn*) {}
};

// What the adapters and the cell painter need of a view: its columns and
// its cells.
class CellViewHost {
public:
    virtual ~CellViewHost() = default;
    int columnCount() const { return static_cast<int>(columns_.size()); }
    TableColumn* column(int i) const { return columns_.at(static_cast<size_t>(i)).get(); }
    TableColumn* tableColumnWithIdentifier(const QString& identifier) const;
    // The column's cell configured for index (object value, will-display).
    virtual Cell* preparedCell(const QModelIndex& index) = 0;
    virtual QVariant objectValue(const QModelIndex& index) = 0;
    virtual int rowHeight() const = 0;

protected:
    TableColumn* appendColumn(const QString& identifier, const QString& title, int width, std::unique_ptr<Cell> cell);
    // The first column whose cell has a check box, or -1.
    int checkBoxColumn() const;
    // The first text column, or -1.
    int textColumn() const;
    // A click on a cell: the cell's own handling (answers whether it acted).
    bool clickCell(QAbstractItemView* view, const QPoint& pos);
    // Space on the row of index: what a click on its check box does; a
    // Space typed within a type-ahead search goes to the search instead.
    // Answers whether the key was taken.
    bool handleKey(QAbstractItemView* view, QKeyEvent* event);
    void setUpView(QAbstractItemView* view, QHeaderView* header);

private:
    std::vector<std::unique_ptr<TableColumn>> columns_;
    QElapsedTimer typing_; // since the last type-ahead character
};

// A header drawn by the columns' header cells.
class CellHeaderView : public QHeaderView {
    Q_OBJECT
public:
    CellHeaderView(CellViewHost* host, QWidget* parent);

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;

private:
    CellViewHost* host_;
};

// ---- adapters ---------------------------------------------------------------

class TableAdapter : public QAbstractTableModel {
public:
    TableAdapter(CellViewHost* host, std::function<int()> rowCount) : host_(host), count_(std::move(rowCount)) {}
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    void beginReload();
    void endReload();
    bool reloading() const { return reloading_; }

private:
    CellViewHost* host_;
    std::function<int()> count_;
    mutable int rows_ = -1; // unknown
    bool reloading_ = false;
};

class OutlineAdapter : public QAbstractItemModel {
public:
    OutlineAdapter(OutlineView* view, CellViewHost* host);
    ~OutlineAdapter() override;
    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

    OutlineItem itemAt(const QModelIndex& index) const;
    void beginReload();
    void endReload();
    bool reloading() const { return reloading_; }
    // The children of parent made so far.
    std::vector<QModelIndex> madeChildren(const QModelIndex& parent) const;

private:
    struct Node;
    Node* node(const QModelIndex& index) const;
    int childCount(Node* n) const;
    OutlineView* view_;
    CellViewHost* host_;
    mutable std::unique_ptr<Node> root_;
    bool reloading_ = false;
};

// ---- views ------------------------------------------------------------------

class CustomTableView : public QTableView, public CellViewHost {
    Q_OBJECT
public:
    explicit CustomTableView(QWidget* parent = nullptr);
    ~CustomTableView() override;

    TableColumn* addTableColumn(const QString& identifier, const QString& title, int width,
                                std::unique_ptr<Cell> cell);

    void setDataSource(TableViewDataSource* ds) { dataSource_ = ds; }
    void setDelegate(TableViewDelegate* d) { delegate_ = d; }
    void willReloadData();
    void reloadData();
    // Type-ahead: in the first text column.
    void keyboardSearch(const QString& search) override;
    int numberOfRows() const { return adapter_->rowCount(); }

    int rowNum() const { return rowNum_; }
    void setRowNum(int row);
    void changeNoValue(bool hasValues);
    QWidget* noValueView() const { return noValueView_; }
    RFOverlayScrollView* overlay() const { return overlay_; }
    void setRowHeight(int h);

    // CellViewHost
    Cell* preparedCell(const QModelIndex& index) override;
    QVariant objectValue(const QModelIndex& index) override;
    int rowHeight() const override { return rowHeight_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event = nullptr) const override;
    // The ring of the focused row follows the focus and the current row.
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

private:
    TableAdapter* adapter_;
    TableViewDataSource* dataSource_ = nullptr;
    TableViewDelegate* delegate_ = nullptr;
    RFOverlayScrollView* overlay_ = nullptr;
    QWidget* noValueView_ = nullptr;
    int rowNum_ = 0;
    int rowHeight_ = kStripeHeight;
};

class OutlineView : public QTreeView, public CellViewHost {
    Q_OBJECT
public:
    explicit OutlineView(QWidget* parent = nullptr);
    ~OutlineView() override;

    TableColumn* addTableColumn(const QString& identifier, const QString& title, int width,
                                std::unique_ptr<Cell> cell);

    void setDataSource(OutlineViewDataSource* ds) { dataSource_ = ds; }
    OutlineViewDataSource* dataSource() const { return dataSource_; }
    void setDelegate(OutlineViewDelegate* d) { delegate_ = d; }
    void willReloadData();
    void reloadData();
    // Type-ahead: in the first text column.
    void keyboardSearch(const QString& search) override;

    OutlineItem itemAtRow(int row) const; // visible rows, top to bottom
    int rowForItem(OutlineItem item) const;
    OutlineItem parentForItem(OutlineItem item) const;
    QModelIndex indexForItem(OutlineItem item) const;
    bool isItemExpanded(OutlineItem item) const;
    void expandItem(OutlineItem item);
    void collapseItem(OutlineItem item);
    OutlineItem selectedItem() const;

    int isSelectRow() const { return isSelectRow_; }
    void setIsSelectRow(int row);
    void setSelectCellBackgroundColorWithRow(int row) { setIsSelectRow(row); }
    void setIsRootArr(void* arr) { isRootArr_ = arr; }
    void* isRootArr() const { return isRootArr_; }
    RFOverlayScrollView* overlay() const { return overlay_; }
    void setRowHeight(int h);

    Cell* preparedCell(const QModelIndex& index) override;
    QVariant objectValue(const QModelIndex& index) override;
    int rowHeight() const override { return rowHeight_; }

protected:
    // Every row filled (result trees) or stripes behind the rows (device tree).
    virtual bool fillsEveryRow() const = 0;
    void drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // Our own expand arrows, light on the dark rows (the style's are near black).
    void drawBranches(QPainter* painter, const QRect& rect, const QModelIndex& index) const override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event = nullptr) const override;
    // The ring of the focused row follows the focus and the current row.
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

private:
    // What an expanded item showed before a reload: its parent and the text
    // of its text column.
    struct ShownItem {
        OutlineItem parent = nullptr;
        QVariant text;
        bool operator==(const ShownItem&) const = default;
    };
    ShownItem shownItem(const QModelIndex& index);
    void restoreExpanded(const QModelIndex& parent);
    void collectExpanded(const QModelIndex& parent);

    OutlineAdapter* adapter_;
    OutlineViewDataSource* dataSource_ = nullptr;
    OutlineViewDelegate* delegate_ = nullptr;
    RFOverlayScrollView* overlay_ = nullptr;
    std::map<OutlineItem, ShownItem> savedExpanded_;
    QPoint savedScroll_;
    void* isRootArr_ = nullptr;
    int isSelectRow_ = 0;
    int rowHeight_ = kStripeHeight;
};

// The result trees: every row filled, the chosen one dark blue.
class CustemOutlineView : public OutlineView {
    Q_OBJECT
public:
    using OutlineView::OutlineView;

protected:
    bool fillsEveryRow() const override { return true; }
};

// The device tree: stripes behind the rows, the chosen row dark blue.
class VXCustomOutlineView : public OutlineView {
    Q_OBJECT
public:
    using OutlineView::OutlineView;

protected:
    bool fillsEveryRow() const override { return false; }
};

} // namespace salvor::widgets
