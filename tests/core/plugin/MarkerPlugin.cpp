// A platform plug-in that only leaves a mark: at load it writes the file "loaded" beside itself. Tests hand it to
// the program where a user's plug-in or library would be, to see whether the program ever loads it.

#include <string>

#include <QObject>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace
{
__attribute__((constructor)) void markLoaded()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&markLoaded), &info) == 0 || !info.dli_fname) {
        return;
    }
    const std::string path(info.dli_fname);
    const int fd = open((path.substr(0, path.rfind('/') + 1) + "loaded").c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd >= 0) {
        close(fd);
    }
}
} // namespace

class MarkerPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformIntegrationFactoryInterface.5.3" FILE "MarkerPlugin.json")
};

#include "MarkerPlugin.moc"
