#include "tests/support/UrlRecorder.h"

UrlRecorder::UrlRecorder(QObject *parent)
    : QObject(parent)
{}

void UrlRecorder::open(const QUrl &url)
{
    urls.append(url);
}
