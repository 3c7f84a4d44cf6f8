#pragma once
// A widget of a tab found as a user finds it, by its name, not through the tab's members.
#include <QObject>
#include <QtGlobal>

namespace quorlan::test {

template <typename T, typename Owner>
T* find(Owner& owner, const char* name) {
  T* found = owner.template findChild<T*>(QString::fromLatin1(name));
  if (!found) qFatal("No %s named %s", T::staticMetaObject.className(), name);
  return found;
}

}  // namespace quorlan::test
