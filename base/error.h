// Why something failed, carried as a value from where it happened to
// whoever tells the user.
//
// An Error names the thing that failed (a source as typed, a directory with
// its record, a record number) and says why in words the user can act on.
// Every layer returns Expected<T>: the value, or the Error. The command line
// prints error.Line() as one line on standard error; nothing keeps error
// state anywhere else.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace velmora {

// What kind of failure it was, so that a report that ends early or finds
// nothing can say which, and a script can tell them apart.
enum class ErrorKind {
  kDamaged,     // the bytes are there but do not hold a valid structure
  kAbsent,      // the thing asked for does not exist (a name, a record, an id)
  kUnreadable,  // the source could not be read (I/O, a container, permissions)
  kLimit,       // a bound of ours was reached before the structure ended
};

// The word for a kind in JSON and in tests.
constexpr const char* KindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kDamaged: return "damaged";
    case ErrorKind::kAbsent: return "absent";
    case ErrorKind::kUnreadable: return "unreadable";
    case ErrorKind::kLimit: return "limit";
  }
  return "damaged";
}

struct Error {
  std::u16string where;    // what failed, as the user knows it; may be empty
  std::u16string message;  // why; no line break
  ErrorKind kind = ErrorKind::kDamaged;

  // "where: message", or the message alone.
  std::u16string Line() const { return where.empty() ? message : where + u": " + message; }
  // The same error, placed inside an outer thing ("C:\dir: " + line).
  Error Within(std::u16string outer) const { return Error{std::move(outer), Line(), kind}; }
};

template <class T>
class Expected {
 public:
  Expected(T value) : state_(std::move(value)) {}
  Expected(Error error) : state_(std::move(error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& operator*() { return std::get<0>(state_); }
  const T& operator*() const { return std::get<0>(state_); }
  T* operator->() { return &std::get<0>(state_); }
  const T* operator->() const { return &std::get<0>(state_); }
  const Error& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, Error> state_;
};

// Success with no value, or the Error.
template <>
class Expected<void> {
 public:
  Expected() = default;
  Expected(Error error) : failed_(true), error_(std::move(error)) {}

  bool has_value() const { return !failed_; }
  explicit operator bool() const { return !failed_; }
  const Error& error() const { return error_; }

 private:
  bool failed_ = false;
  Error error_;
};

}  // namespace velmora
