#include "window/PublishedObjectGuard.h"

#include <QEvent>
#include <QMetaProperty>

#include "core/Log.h"

PublishedObjectGuard::PublishedObjectGuard(QObject *parent)
    : QObject(parent)
{}

PublishedObjectGuard::~PublishedObjectGuard() = default;

void PublishedObjectGuard::guard(QObject *published)
{
    if (!published || m_guarded.contains(published)) {
        return;
    }
    m_guarded.append(published);
    published->installEventFilter(this);
    // The channel publishes every object a property holds as a nested object of its own.
    const QMetaObject *meta = published->metaObject();
    for (int i = 0; i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        if (QMetaType::typeFlags(property.userType()) & QMetaType::PointerToQObject) {
            guard(property.read(published).value<QObject *>());
        }
    }
}

bool PublishedObjectGuard::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::DeferredDelete) {
        writeLog(2,
                 "all",
                 "PublishedObjectGuard::eventFilter",
                 QStringLiteral("Deletion of a published object refused: ")
                     + QString::fromLatin1(watched->metaObject()->className()));
        return true;
    }
    return QObject::eventFilter(watched, event);
}
