// A request from outside that ends a receiver session's waits and pauses at
// once (z500ctl's signals), apart from the session so that its owner need
// not see the serial engine.
#pragma once

#include <functional>

namespace Z500 {

class IInterrupt {
public:
  virtual ~IInterrupt() = default;
  virtual bool Raised() const = 0;
  // Throws the interrupt's own exception once raised.
  virtual void Check() const = 0;
  // Whom `owner` wants woken when raised (nullptr: nobody any more). Each
  // owner has one waker; several owners (links running at once) each have
  // theirs. Once this returns, the waker replaced is no longer called.
  virtual void SetWaker(const void* owner, std::function<void()> waker) = 0;
};

}  // namespace Z500
