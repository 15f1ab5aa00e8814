#pragma once

#include <memory>

#include <QEventLoop>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <QWebEnginePage>

// Polls a JavaScript expression in a page until it is truthy or the time is up. Benchmarks only: it spins a local
// event loop. The minimal view and the program's probe use it alike, so both pay the same polling cost.
inline bool waitForPageExpression(QWebEnginePage *page, const QString &expression, int timeoutMs, int pollMs = 2)
{
    struct State
    {
        bool done = false;
        bool inFlight = false;
        QEventLoop *loop = nullptr;
    };

    // The page may answer after we gave up: the answer then finds the state, not a dead stack frame.
    auto state = std::make_shared<State>();
    QEventLoop loop;
    state->loop = &loop;
    QTimer poll;
    poll.setInterval(pollMs);
    QObject::connect(&poll, &QTimer::timeout, &loop, [page, expression, state] {
        if (state->inFlight || state->done) {
            return;
        }
        state->inFlight = true;
        page->runJavaScript(expression, [state](const QVariant &value) {
            state->inFlight = false;
            if (value.toBool() && !state->done) {
                state->done = true;
                if (state->loop) {
                    state->loop->quit();
                }
            }
        });
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start();
    loop.exec();
    state->loop = nullptr;
    return state->done;
}

// The wall-clock time, in milliseconds since the epoch, of a moment the page recorded on its own clock (a
// performance.now() value given by `expression`), so that a benchmark can time it from outside without the delay
// of its polling. -1 when the page gives no number.
inline double pageMomentEpochMs(QWebEnginePage *page, const QString &expression, int timeoutMs = 10000)
{
    auto moment = std::make_shared<double>(-1);
    QEventLoop loop;
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    page->runJavaScript(QStringLiteral("performance.timeOrigin + (%1)").arg(expression),
                        [moment, &loop](const QVariant &value) {
                            bool ok = false;
                            const double epochMs = value.toDouble(&ok);
                            *moment = ok ? epochMs : -1;
                            loop.quit();
                        });
    loop.exec();
    return *moment;
}
