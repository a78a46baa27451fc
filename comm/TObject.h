// TObject: the root of the serial component's own classes, so that a
// notification can name its sender (the engine or the framer) by one type.
#pragma once

namespace QuarlComm32 {

class TObject {
public:
  virtual ~TObject() = default;
};

}  // namespace QuarlComm32
