#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

// Records what the program asks the desktop to open instead of starting a browser: the test hands it to
// QDesktopServices::setUrlHandler() with the slot "open". Lives on the test's thread; the test owns it.
class UrlRecorder : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UrlRecorder)

public:
    explicit UrlRecorder(QObject *parent = nullptr);

    QList<QUrl> urls;

public slots:
    void open(const QUrl &url);
};
