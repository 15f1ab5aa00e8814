#include "app/DisplayCheck.h"

#include <fcntl.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include "core/PrintableText.h"

namespace
{
constexpr int maxRefusalBytes = 4096;
} // namespace

DisplayCheck::~DisplayCheck()
{
    close();
}

void DisplayCheck::close()
{
    if (m_connection) {
        xcb_disconnect(m_connection);
        m_connection = nullptr;
    }
}

bool DisplayCheck::connect(const QByteArray &display)
{
    // Standard error goes to a pipe for the length of the attempt; a refusal is a line or two, far below what the
    // pipe holds.
    int caught[2] = {-1, -1};
    const int saved = dup(STDERR_FILENO);
    const bool catching = saved >= 0 && pipe2(caught, O_CLOEXEC | O_NONBLOCK) == 0;
    if (catching) {
        dup2(caught[1], STDERR_FILENO);
        ::close(caught[1]);
    }
    int screen = 0;
    xcb_connection_t *connection = xcb_connect(display.constData(), &screen);
    const bool reached = xcb_connection_has_error(connection) == 0;
    if (catching) {
        dup2(saved, STDERR_FILENO);
        QByteArray said(maxRefusalBytes, '\0');
        const ssize_t n = read(caught[0], said.data(), static_cast<size_t>(said.size()));
        said.resize(n > 0 ? static_cast<int>(n) : 0);
        ::close(caught[0]);
        m_refusal = QString::fromStdString(printableText(said.simplified().toStdString()));
    }
    if (saved >= 0) {
        ::close(saved);
    }
    if (reached) {
        // Not shared with what the program starts.
        fcntl(xcb_get_file_descriptor(connection), F_SETFD, FD_CLOEXEC);
        m_connection = connection;
    } else {
        xcb_disconnect(connection);
    }
    return reached;
}

QString DisplayCheck::refusal() const
{
    return m_refusal;
}
