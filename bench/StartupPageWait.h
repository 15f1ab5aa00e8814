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
