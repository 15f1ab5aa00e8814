#pragma once

#include <QList>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

// Records what the program asks to open instead of starting a browser. As root the program starts an opener
// program itself: program() is a stand-in that writes down the address it is given (tests hand it to
// BrowserOpener::setProgramForTests()). Without root it asks the desktop: the test hands the recorder to
// QDesktopServices::setUrlHandler() with the slot "open". Lives on the test's thread; the test owns it.
class UrlRecorder : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UrlRecorder)

public:
    explicit UrlRecorder(QObject *parent = nullptr);

    QString program() const;
    // The addresses the stand-in was started with, in no particular order, once there are at least `count`.
    QStringList opened(int count) const;

    // What the desktop was asked to open.
    QList<QUrl> urls;

public slots:
    void open(const QUrl &url);

private:
    QTemporaryDir m_folder;
};
