#include <QtGlobal>

#include "core/StaticInitOrder.h"

// The page lives in a static library, whose resource tree is linked in only when registered by name; this is the
// last of the program's globals to be set up (core/StaticInitOrder.h). Q_INIT_RESOURCE must be used outside any
// namespace.
[[gnu::constructor(pageResourcesInitPriority)]] static void registerPageResources()
{
    Q_INIT_RESOURCE(page);
}
