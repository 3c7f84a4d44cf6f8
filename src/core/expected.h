#pragma once
// The result of an operation that can fail: its value, or the message saying why there is none.
// Every fallible operation of the core answers this way.
#include <QString>
#include <QtGlobal>
#include <optional>
#include <utility>

namespace quorlan {

// The failure side of an Expected, made with failure("why").
struct Failure {
  QString message;
};
inline Failure failure(QString message) { return {std::move(message)}; }

template <typename T>
class Expected {
 public:
  Expected(T value) : value_(std::move(value)) {}        // NOLINT: a value converts implicitly
  Expected(Failure f) : error_(std::move(f.message)) {}  // NOLINT: so does a failure
  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  // Reading the value of a failure is a fault of the caller: it stops the program with the
  // failure's message rather than read what is not there.
  const T& value() const& {
    check();
    return *value_;
  }
  T&& value() && {
    check();
    return std::move(*value_);
  }
  const T& operator*() const& {
    check();
    return *value_;
  }
  const T* operator->() const {
    check();
    return &*value_;
  }
  // Empty when ok().
  const QString& error() const { return error_; }

 private:
  void check() const {
    if (!value_) qFatal("Expected::value() read on a failure: %s", qUtf8Printable(error_));
  }
  std::optional<T> value_;
  QString error_;
};

// Success or the message of a failure.
template <>
class Expected<void> {
 public:
  Expected() = default;
  Expected(Failure f) : failed_(true), error_(std::move(f.message)) {}  // NOLINT
  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const QString& error() const { return error_; }

 private:
  bool failed_ = false;
  QString error_;
};
using Status = Expected<void>;

}  // namespace quorlan
