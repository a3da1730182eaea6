#pragma once
// Window and view controllers that build their views in code. The build
// function stands where a window description named like the controller's class
// would be loaded: window() / view() build lazily and run build -> awake ->
// did-load exactly once.
//
// A window controller is its window's delegate. With fading on (the dialogs),
// a close through the window's close path fades the window out instead of
// closing it; when an alpha animation ends at 0, the window's modal run ends
// and the window closes.
#include "ui/kit/WindowDelegate.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QWidget>

namespace salvor::kit {

class WindowController : public QObject, public WindowDelegate {
    Q_OBJECT
public:
    // windowName: the name of the window this controller builds (its class name).
    explicit WindowController(QString windowName, QObject* parent = nullptr);
    // Destroys the window when it is still there.
    ~WindowController() override;

    const QString& windowName() const { return windowName_; }

    // The window, built on first use.
    QWidget* window();
    bool isWindowLoaded() const { return loaded_; }

    // Builds the window when needed, shows it, raises and activates it.
    void showWindow();
    // Closes the window without asking (and without fading).
    void close();

    // Fading on close and at the end of alpha animations (see above).
    void setFadesOnClose(bool yes) { fadesOnClose_ = yes; }
    bool fadesOnClose() const { return fadesOnClose_; }
    // Fade-in from 0 when the window is first shown; fade-out to 0.
    void fadeIn();
    void fadeOut();

    bool windowShouldClose(QWidget* window) override;

protected:
    // Builds the window; the controller owns what it returns.
    virtual QWidget* loadWindow() = 0;
    // Called once after the build, then windowDidLoad().
    virtual void awakeFromNib() {}
    virtual void windowDidLoad() {}
    // An alpha animation of the window ended. By default, with fading on, when
    // it ran to its end at alpha 0: ends the window's modal run and closes the window.
    virtual void animationDidStop(bool finished);

private:
    QString windowName_;
    QPointer<QWidget> window_;
    bool loaded_ = false;
    bool loading_ = false;
    bool fadesOnClose_ = false;
};

class ViewController : public QObject {
    Q_OBJECT
public:
    explicit ViewController(QString viewName, QObject* parent = nullptr);
    // Destroys the view when it has no parent widget holding it.
    ~ViewController() override;

    const QString& viewName() const { return viewName_; }

    // The view, built on first use.
    QWidget* view();
    bool isViewLoaded() const { return loaded_; }

    const QVariant& representedObject() const { return representedObject_; }
    virtual void setRepresentedObject(const QVariant& object) { representedObject_ = object; }

protected:
    virtual QWidget* loadView() = 0;
    virtual void awakeFromNib() {}
    virtual void viewDidLoad() {}

private:
    QString viewName_;
    QPointer<QWidget> view_;
    QVariant representedObject_;
    bool loaded_ = false;
    bool loading_ = false;
};

} // namespace salvor::kit
