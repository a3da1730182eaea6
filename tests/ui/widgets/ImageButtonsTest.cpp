// Image buttons, type buttons and their keyboard use.
#include "ui/kit/NamedImages.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/TCImageWindow.h"

#include <QApplication>
#include <QEnterEvent>
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

using namespace salvor;
using namespace salvor::widgets;
using Look = StateImageButton::Look;

namespace {
void enter(QWidget* w) {
    QEnterEvent e(QPointF(2, 2), QPointF(2, 2), QPointF(w->mapToGlobal(QPoint(2, 2))));
    QApplication::sendEvent(w, &e);
}
bool sameImage(const QPixmap& a, const QString& name) {
    return a.toImage().convertToFormat(QImage::Format_ARGB32) ==
           kit::namedPixmap(name).toImage().convertToFormat(QImage::Format_ARGB32);
}
void giveBackImages(StateImageButton* b) {
    b->setImageFromFileNormalName("back_normal", "back_press", "back_hover", "back_disable");
}
} // namespace

class ImageButtonsTest : public QObject {
    Q_OBJECT
private slots:
    void stateTable_data() {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<bool>("usable");
        QTest::addColumn<bool>("press");
        QTest::addColumn<bool>("hover");
        QTest::addColumn<QString>("image");
        QTest::addColumn<bool>("white");
        QTest::newRow("pressed") << true << true << true << true << "back_press" << true;
        QTest::newRow("hover") << true << true << false << true << "back_hover" << true;
        QTest::newRow("normal") << true << true << false << false << "back_normal" << true;
        QTest::newRow("disabled") << false << true << false << true << "back_disable" << false;
        QTest::newRow("not usable") << true << false << true << true << "back_disable" << false;
    }
    void stateTable() {
        QFETCH(bool, enabled);
        QFETCH(bool, usable);
        QFETCH(bool, press);
        QFETCH(bool, hover);
        QFETCH(QString, image);
        QFETCH(bool, white);
        TCImageButton b;
        giveBackImages(&b);
        b.resize(90, 32);
        b.setTextWithName("Back", QRect(0, 0, 90, 32));
        b.setEnabled(enabled);
        b.setButtonEnabled(usable);
        if (hover) enter(&b);
        if (press) QTest::mousePress(&b, Qt::LeftButton, {}, QPoint(5, 5));
        QVERIFY(sameImage(b.lookImage(), image));
        QCOMPARE(b.labelColor(), white ? QColor(Qt::white) : QColor(Qt::gray));
        b.grab(); // paints the label colour
        QCOMPARE(b.textField()->palette().color(QPalette::WindowText), b.labelColor());
        if (press) QTest::mouseRelease(&b, Qt::LeftButton, {}, QPoint(5, 5));
        QVERIFY(!b.isTracking());
    }

    void descriptionButtonIgnoresClicksUntilUsable() {
        std::unique_ptr<TCImageButton> b(TCImageButton::fromDescription());
        giveBackImages(b.get());
        b->resize(90, 32);
        QSignalSpy clicks(b.get(), &QAbstractButton::clicked);
        QTest::mouseClick(b.get(), Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(clicks.count(), 0);
        b->setButtonEnabled(true);
        QTest::mouseClick(b.get(), Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(clicks.count(), 1);
    }

    void missingImagesDrawNothingAndPlainWithoutNormal() {
        TCImageButton b;
        b.setImageFromFileNormalName("back_normal", "no_such", "no_such", "back_disable");
        b.resize(90, 32);
        enter(&b);
        QCOMPARE(b.look(), Look::Hover);
        QVERIFY(b.lookImage().isNull());
        // Hover survives a disable: enabling again shows the hover look.
        b.setButtonEnabled(false);
        QCOMPARE(b.look(), Look::Disabled);
        b.setButtonEnabled(true);
        QCOMPARE(b.look(), Look::Hover);
        TCImageButton plain;
        plain.setImageFromFileNormalName("no_such", "", "", "");
        QCOMPARE(plain.look(), Look::Platform);
    }

    void barOfWindowNotMainDrawsDisabledWithoutHover() {
        TCImageWindow w;
        auto* b = new TCImageButton(w.titleBarView());
        giveBackImages(b);
        w.show();
        w.updateTitlebarView(); // the window is not main offscreen until activated
        QVERIFY(!w.isDrawnAsMain());
        QCOMPARE(b->look(), Look::Disabled);
        enter(b);
        QVERIFY(!b->isFocus());
    }

    void typeButton() {
        TypeButton t;
        t.resize(90, 90);
        t.setImageFromFileNormalName("icon_document_normal", "icon_document_press", "icon_document_hover",
                                     "icon_document_disable");
        t.setTextWithName("Documents");
        QCOMPARE(t.dstRect(), QRect(20, 0, 50, 50));
        QCOMPARE(t.textField()->geometry(), QRect(0, 51, 90, 17));
        QCOMPARE(t.checkBox()->geometry(), QRect(37, 74, 16, 16));
        enter(&t);
        QCOMPARE(t.titleColor().alphaF(), 0.8f);
        QSignalSpy clicks(&t, &QAbstractButton::clicked);
        t.setButtonEnabled(false);
        QTest::mouseClick(&t, Qt::LeftButton, {}, QPoint(40, 20));
        QCOMPARE(clicks.count(), 0);
        QVERIFY(sameImage(t.lookImage(), "icon_document_disable"));
        QCOMPARE(t.titleColor(), QColor(Qt::gray));
        t.changeSelect(false);
        QVERIFY(sameImage(t.checkBox()->pixmap(), "checkbox_no"));
    }

    void keyboard() {
        QWidget w;
        auto* a = new TCImageButton(&w);
        auto* notUsable = TCImageButton::fromDescription(&w);
        auto* c = new TypeButton(&w);
        auto* disabled = new TypeButton(&w);
        auto* e = new TCImageButton(&w);
        for (auto* b : std::initializer_list<StateImageButton*>{a, notUsable, c, disabled, e}) giveBackImages(b);
        disabled->setEnabled(false);
        e->setDefaultButton(true);
        w.show();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        a->setFocus();
        QTest::keyClick(&w, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), c);
        QTest::keyClick(&w, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), e);
        QSignalSpy cClicks(c, &QAbstractButton::clicked), eClicks(e, &QAbstractButton::clicked);
        c->setFocus();
        QTest::keyClick(c, Qt::Key_Space);
        QCOMPARE(cClicks.count(), 1);
        QTest::keyClick(c, Qt::Key_Return); // the default button acts
        QCOMPARE(eClicks.count(), 1);
        QCOMPARE(cClicks.count(), 1);
    }
};

QTEST_MAIN(ImageButtonsTest)
#include "ImageButtonsTest.moc"
