#pragma once

#include <QByteArray>
#include <QString>

struct xcb_connection_t;

// Tries an X display before Qt does: the window system aborts the process when it cannot connect, where the program
// answers with one line. libxcb writes a server's refusal straight to standard error; it is caught here, so that the
// program's own line can say it. A connection that was made is held until the check ends: an X server with no
// client left resets itself, and a connection attempt during that reset would fail. main() keeps one on its stack
// until the application object has connected.
class DisplayCheck
{
public:
    DisplayCheck() = default;
    ~DisplayCheck();
    Q_DISABLE_COPY_MOVE(DisplayCheck)

    // Whether the display took the connection.
    bool connect(const QByteArray &display);
    // What the server said when it refused the connection, on one line; empty when no server answered.
    QString refusal() const;
    // Lets the connection go, once another one holds the display.
    void close();

private:
    xcb_connection_t *m_connection = nullptr;
    QString m_refusal;
};
