#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <QVariant>

class MainWindow;

// Drives a real MainWindow on the real page for tests: waits for the page to load, evaluates
// JavaScript and waits for its answer, polls the page for a condition, takes screenshots.
// Lives on the test's GUI thread; owns the window it built, not one it was handed.
class WindowDriver : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WindowDriver)

public:
    explicit WindowDriver(QObject *parent = nullptr);
    ~WindowDriver() override;

    // Builds and shows a window on "qrc:/index.html"; true once the page has loaded.
    [[nodiscard]] bool open(int timeoutMs = 30000);
    // Follows a window made elsewhere (for example by the supervisor); true once its page has loaded.
    [[nodiscard]] bool adopt(MainWindow *window, int timeoutMs = 30000);
    MainWindow *window() const;

    // Runs a script in the page and returns its value; ok tells whether an answer came in time.
    QVariant evaluate(const QString &script, bool *ok = nullptr, int timeoutMs = 10000);
    // Polls a JavaScript expression until it is truthy.
    [[nodiscard]] bool waitFor(const QString &expression, int timeoutMs = 20000);
    // Waits until the shell has reached its first screen (router started, splash hidden).
    [[nodiscard]] bool waitForStart(int timeoutMs = 30000);
    // Waits until the login screen, or the domains screen with its list drawn, is shown.
    [[nodiscard]] bool waitForLoginScreen(int timeoutMs = 20000);
    [[nodiscard]] bool waitForDomainsScreen(int timeoutMs = 20000);
    // open(), then waitForLoginScreen(); or waitForDomainsScreen(), the page logged in from stored credentials.
    [[nodiscard]] bool openOnLoginScreen();
    [[nodiscard]] bool openOnDomainsScreen();
    // Fills in the login form as typing would and clicks its button.
    [[nodiscard]] bool logInThroughForm(const QString &username, const QString &password);
    // Waits until exactly one tour step is shown, its text starting so.
    [[nodiscard]] bool waitForTourStep(const QString &textStart);
    // Clicks the first element matching a CSS selector; false when there is none.
    [[nodiscard]] bool click(const QString &selector);
    // A real left click of the mouse at the centre of the first element matching a selector, as the user
    // would make it: it reaches whatever element lies on top there. False when there is no such element.
    [[nodiscard]] bool mouseClick(const QString &selector);
    // Whether the first element matching a selector is drawn: displayed, visible and of some size.
    bool isShown(const QString &selector);
    // Waits until the program has answered every call the page sent it before this one, and the page has
    // run the answers' callbacks: what those calls were going to change has changed by then.
    [[nodiscard]] bool waitForProgram(int timeoutMs = 10000);
    // Sets an input's value as typing would leave it.
    [[nodiscard]] bool type(const QString &selector, const QString &text);
    QString text(const QString &selector);
    bool hasClass(const QString &selector, const QString &className);
    int count(const QString &selector);

    QImage screenshot() const;
    // Saves a screenshot under the given name into SCREENSHOT_DIR when that variable is set, once the engine has
    // painted a few frames since the last change: a grab before that shows an older frame. False when it could not.
    [[nodiscard]] bool saveScreenshot(const QString &name);

    // Quotes a text as a JavaScript string literal.
    static QString quote(const QString &text);
    // The selector of the tour step being shown (a hidden one stays in the document for its fade-out).
    static QString shownTourStep();

signals:
    void evaluated(int id, const QVariant &value);

private:
    bool waitForLoad(int timeoutMs);

    MainWindow *m_window = nullptr;
    bool m_owned = false;
    bool m_loaded = false;
    int m_nextId = 0;
};

// Prepares the process for the web engine before the QApplication exists: GL sharing, software
// rendering, sandbox off, runtime folder, and the page's compiled-in resources.
void prepareWebEngineTestProcess();
