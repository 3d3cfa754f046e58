// Controls of one window that share a name and are told apart by an index
// from 0, written Label1(0). Asking for an index with no element fails with
// error 340, as does asking for an element whose window has been unloaded.
#pragma once

#include <QPointer>
#include <QString>
#include <map>
#include <string>

#include "error.h"

namespace quorlen {

template <class T>
class ControlArray {
 public:
  explicit ControlArray(QString name) : name_(std::move(name)) {}

  void add(int index, T* control) { items_[index] = control; }
  void clear() { items_.clear(); }
  int count() const { return static_cast<int>(items_.size()); }
  const QString& name() const { return name_; }

  T& operator()(int index) const {
    const auto it = items_.find(index);
    if (it == items_.end() || it->second.isNull()) {
      throw UiError(kErrControlArrayElementMissing, "Control array element " + name_.toStdString() +
                                                        "(" + std::to_string(index) +
                                                        ") does not exist.");
    }
    return *it->second;
  }

 private:
  QString name_;
  std::map<int, QPointer<T>> items_;
};

}  // namespace quorlen
