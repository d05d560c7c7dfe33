// TJFocusControl: the class created for JMI-type focusers (catalogue types
// "JMI", "MEADE", "DEFAULT"). It drives the focuser exactly as the base class
// does; it exists so that the catalogue names one class per focuser kind.
#pragma once

#include "focuser/focus_control.h"

namespace kv {

class TJFocusControl : public TFocusControl {
public:
    using TFocusControl::TFocusControl;
    // The base's threads call virtual operations: stop them while this object is whole.
    ~TJFocusControl() override { Shutdown(); }
};

}  // namespace kv
