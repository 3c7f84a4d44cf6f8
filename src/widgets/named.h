#pragma once
#include <QObject>

namespace quorlan {

// Gives a widget its member name as object name (tests find widgets by it) and returns it.
template <typename W>
W* named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

}  // namespace quorlan
