#pragma once

#include <QObject>

class QEvent;

// Keeps the objects published to the page alive: the web channel lets the page call deleteLater on them, which
// would free a program object that others still use. Guards the given object and every object reachable through its
// properties. Lives on the GUI thread; its parent owns it, and the guard ends with it. The program itself deletes
// these objects with delete, never with deleteLater.
class PublishedObjectGuard : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PublishedObjectGuard)

public:
    explicit PublishedObjectGuard(QObject *parent = nullptr);
    ~PublishedObjectGuard() override;

    void guard(QObject *published);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QObjectList m_guarded;
};
