#pragma once
// Dark search inputs: THSearchField (a line edit on a black rounded
// background with a magnifier) and NewSearchTextFiled (text field, search and
// clear buttons on a black rounded view) telling its delegate what to search.
#include <QLineEdit>
#include <QWidget>

#include <optional>

namespace salvor::widgets {

class TCImageButton;

class THSearchField : public QLineEdit {
    Q_OBJECT
public:
    explicit THSearchField(QWidget* parent = nullptr);
    // Both corner radii: a quarter of the height.
    static double cornerRadius(const QSizeF& size) { return size.height() / 4; }

protected:
    void paintEvent(QPaintEvent* event) override;
};

// The black rounded background (radii 15).
class NewView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent* event) override;
};

class NewSearchTextFiledDelegate {
public:
    virtual ~NewSearchTextFiledDelegate() = default;
    // No key: the search was cleared.
    virtual void doSearchWithKey(const std::optional<QString>& /*key*/) {}
};

class NewSearchTextFiled : public NewView {
    Q_OBJECT
public:
    explicit NewSearchTextFiled(QWidget* parent = nullptr);

    void setSearchDelegate(NewSearchTextFiledDelegate* d) { delegate_ = d; }
    NewSearchTextFiledDelegate* searchDelegate() const { return delegate_; }
    QLineEdit* textField() const { return textField_; }
    TCImageButton* searchButton() const { return searchButton_; }
    TCImageButton* clearButton() const { return clearButton_; }

    void setEnabled(bool enabled);
    // Empties the field without telling the delegate (the argument is ignored).
    void setTitleWithMnemonic(const QString& ignored = {});
    void clearTextFieldAction();
    void doSearchAction();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void textDidChange(const QString& text);
    void returnPressed();
    void search(const std::optional<QString>& key);

    QLineEdit* textField_;
    TCImageButton* searchButton_;
    TCImageButton* clearButton_;
    NewSearchTextFiledDelegate* delegate_ = nullptr; // not owned
};

} // namespace salvor::widgets
