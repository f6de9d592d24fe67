// The integer tag that menu items, buttons and the host drop-down carry
// (the fetch commands read their tail size from it).
#pragma once

#include <QObject>
#include <QVariant>

inline int Tag(const QObject* object)
{
    return object->property("Tag").toInt();
}

inline void SetTag(QObject* object, int tag)
{
    object->setProperty("Tag", tag);
}
