#pragma once

#include <memory>
#include <utility>

namespace tessarin {

// The one way to make an object that lives on the executor and is owned through shared_ptr: its
// background tasks and callbacks hold it weakly and stop when it is gone. `T::create(...)` is the
// only way to make one, so none is ever made on the stack or in a unique_ptr, where
// weak_from_this() would be empty and every weak callback would silently do nothing.
//
//     class Thing : public SharedObject<Thing> {
//       public:
//         Thing(Token, int value);   // public, but only create() can pass a Token
//     };
//     auto thing = Thing::create(7);
template <class T>
class SharedObject : public std::enable_shared_from_this<T> {
  protected:
    struct Token {
        explicit Token() = default;
    };

  public:
    template <class... Args>
    static std::shared_ptr<T> create(Args&&... args) {
        return std::make_shared<T>(Token{}, std::forward<Args>(args)...);
    }
};

}  // namespace tessarin
