#include "ui/widgets/SearchFields.h"

#include "platform/Localization.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/NamedImages.h"
#include "ui/widgets/ImageButtons.h"

#include <QPainter>
#include <QPainterPath>

namespace salvor::widgets {

namespace {
void fillRounded(QWidget* w, double radius) {
    QPainter p(w);
    p.setRenderHint(QPainter::Antialiasing, true);
    QPainterPath path;
    path.addRoundedRect(QRectF(w->rect()), radius, radius);
    p.fillPath(path, Qt::black);
}

// White text and cursor on a clear background; the placeholder's colour.
void styleField(QLineEdit* field) {
    field->setFrame(false);
    QPalette pal = field->palette();
    pal.setColor(QPalette::Base, Qt::transparent);
    pal.setColor(QPalette::Text, Qt::white);
    pal.setColor(QPalette::PlaceholderText, QColor(150, 156, 182));
    field->setPalette(pal);
}
} // namespace

THSearchField::THSearchField(QWidget* parent) : QLineEdit(parent) {
    styleField(this);
    setTextMargins(22, 0, 4, 0);
}

void THSearchField::paintEvent(QPaintEvent* event) {
    {
        fillRounded(this, cornerRadius(size()));
        QPainter p(this);
        const QPixmap glass = kit::namedPixmap(QStringLiteral("search_normal"));
        p.drawPixmap(QRectF(4, (height() - 16) / 2.0, 16, 16), glass, QRectF(glass.rect()));
    }
    QLineEdit::paintEvent(event);
}

void NewView::paintEvent(QPaintEvent*) { fillRounded(this, 15); }

NewSearchTextFiled::NewSearchTextFiled(QWidget* parent)
    : NewView(parent), textField_(new QLineEdit(this)), searchButton_(new TCImageButton(this)),
      clearButton_(new TCImageButton(this)) {
    styleField(textField_);
    textField_->setFont(kit::systemFont(13));
    textField_->setPlaceholderText(platform::localizedString("Search"));
    searchButton_->setImageFromFileNormalName(QStringLiteral("search_normal"), QStringLiteral("search_normal"),
                                              QStringLiteral("search_normal"), QStringLiteral("search_normal"));
    clearButton_->setImageFromFileNormalName(QStringLiteral("del_normal"), QStringLiteral("del_press"),
                                             QStringLiteral("del_normal"), QStringLiteral("del_normal"));
    clearButton_->hide();
    connect(textField_, &QLineEdit::textEdited, this, &NewSearchTextFiled::textDidChange);
    connect(textField_, &QLineEdit::returnPressed, this, &NewSearchTextFiled::returnPressed);
    connect(searchButton_, &QAbstractButton::clicked, this, &NewSearchTextFiled::doSearchAction);
    connect(clearButton_, &QAbstractButton::clicked, this, &NewSearchTextFiled::clearTextFieldAction);
    resize(200, 30);
}

void NewSearchTextFiled::resizeEvent(QResizeEvent*) {
    const int h = height();
    searchButton_->setGeometry(8, (h - 16) / 2, 16, 16);
    clearButton_->setGeometry(width() - 24, (h - 16) / 2, 16, 16);
    textField_->setGeometry(30, (h - 22) / 2, std::max(0, width() - 58), 22);
}

void NewSearchTextFiled::setEnabled(bool enabled) {
    textField_->setEnabled(enabled);
    searchButton_->setEnabled(enabled);
    clearButton_->setEnabled(enabled);
}

void NewSearchTextFiled::setTitleWithMnemonic(const QString&) {
    clearButton_->hide();
    textField_->setText(QString());
}

void NewSearchTextFiled::search(const std::optional<QString>& key) {
    if (delegate_) delegate_->doSearchWithKey(key);
}

void NewSearchTextFiled::textDidChange(const QString& text) {
    clearButton_->setVisible(!text.isEmpty());
    if (text.isEmpty()) search(std::nullopt);
}

void NewSearchTextFiled::returnPressed() {
    search(textField_->text());
    QPalette pal = textField_->palette();
    pal.setColor(QPalette::Base, Qt::black);
    textField_->setPalette(pal);
}

void NewSearchTextFiled::clearTextFieldAction() {
    const bool had = !textField_->text().isEmpty();
    clearButton_->hide();
    textField_->setText(QString());
    if (had) search(std::nullopt);
}

void NewSearchTextFiled::doSearchAction() { search(textField_->text()); }

} // namespace salvor::widgets
