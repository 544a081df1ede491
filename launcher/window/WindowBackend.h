// The seam under the launcher window. CUpdaterDlg holds the window's logic
// (states, jobs, timers, page updates, commands) and talks to the toolkit only
// through these interfaces; each toolkit is one backend in its own files
// (WindowGtk.cpp with WebKitGTK, WindowWin32.cpp with the WebBrowser control).
// Every call and every event is on the window's thread, except
// statusPoster(), whose function any thread may call.
#pragma once

#include <functional>
#include <memory>
#include <string>

// The two HTML views, by the control ids of the window template.
enum class ViewId : int
{
    Web = 1000,
    Local = 1001,
};

// What a backend reports to the window's logic.
class IWindowEvents
{
public:
    // Before every navigation of a view; true cancels it.
    virtual bool onBeforeNavigate(ViewId view, const std::string& url) = 0;
    virtual void onDocumentComplete(ViewId view) = 0;
    // The page could not be loaded: no answer, a network error or an HTTP error status.
    virtual void onNavigateError(ViewId view, const std::string& url) = 0;
    virtual void onTimer(int id) = 0;
    // Once, after the window has been painted for the first time.
    virtual void onFirstPaint() = 0;
    // The close button, Escape, or a close request of the window system.
    virtual void onCancel() = 0;
    // The Run command (the Enter key); false when the Run button is disabled.
    virtual bool onRunCommand() = 0;
    // WM_SET_UPDATE_STATUS and WM_SET_UPDATE_PROGRESS, on the window's thread.
    virtual void onSetUpdateStatus(int event) = 0;
    virtual void onSetUpdateProgress(int percent, int seconds) = 0;

protected:
    ~IWindowEvents() = default;
};

// One HTML view and the page operations on its document. Without a document,
// or without the element or style sheet, a page operation does nothing.
class IPageView
{
public:
    virtual void navigate(const std::string& url) = 0;
    virtual void stop() = 0;
    virtual std::string currentUrl() const = 0;
    // Texts are UTF-8; html replaces or extends the element's inner HTML.
    virtual void setElementHtml(const std::string& id, const std::string& html) = 0;
    virtual void appendElementHtml(const std::string& id, const std::string& html) = 0;
    // Replaces the whole text of the first style sheet with cssText.
    virtual void setFirstStyleSheet(const std::string& cssText) = 0;

protected:
    ~IPageView() = default;
};

class IWindowBackend
{
public:
    virtual ~IWindowBackend() = default;

    // Makes the borderless window with its strip, close button and the two
    // views (both hidden), and starts delivering events.
    virtual void create(IWindowEvents& events, int width, int height, int viewTop) = 0;
    virtual IPageView& view(ViewId id) = 0;
    // Shows at most one view over the area under the strip; a hidden view has size 0 by 0.
    virtual void showViews(bool local, bool web) = 0;
    virtual void setTitle(const std::string& title) = 0;
    // The background of the strip: one picture for language position 0, another otherwise.
    virtual void setBackground(int languagePosition) = 0;
    virtual void show() = 0;
    virtual void hide() = 0;

    // Runs the window's loop until quitLoop; returns at once if it was already asked to quit.
    virtual void runLoop() = 0;
    virtual void quitLoop() = 0;

    // A repeating timer; starting a running one restarts it.
    virtual void startTimer(int id, unsigned periodMs) = 0;
    virtual void stopTimer(int id) = 0;
    // Runs fn once on the window's thread after delayMs (0: when the loop is idle).
    // A task still pending when the backend dies is freed without running.
    virtual void postTask(std::function<void()> fn, unsigned delayMs) = 0;
    // A function that any thread may call, even after the backend has gone, to
    // post WM_SET_UPDATE_STATUS (event) to this window; late posts find nobody.
    virtual std::function<void(int event)> statusPoster() = 0;

    // Modal message box with an OK button, owned by the window.
    virtual void showMessageBox(const std::string& caption, const std::string& text) = 0;
    // The modal DirectX warning: caption, and a read-only text with line breaks.
    virtual void showDirectXWarning(const std::string& caption, const std::string& text) = 0;

    // True when a top-level window of that class exists (the started game's).
    virtual bool windowOfClassExists(const std::string& windowClass) = 0;
    // Saves what the window shows as a picture; false when it cannot.
    virtual bool saveScreenshot(const std::string& path) = 0;
};

// The backend linked into this build.
std::unique_ptr<IWindowBackend> createWindowBackend();
