#pragma once

#include "shared/ipc/Callback.h"
#include "shared/ipc/Value.h"
#include "shared/ipc/detail/Members.h"

namespace brimo::ipc::detail {

// Something a proxy can send calls through: a live bus, or a client connection that connects
// on demand. Exactly one of onReply / onError runs per call, later, on the loop; one-way
// members have no onReply.
class CallTarget {
public:
    virtual ~CallTarget() = default;
    virtual void call(const Member& member, Values args, Callback<void(Values)> onReply,
                      ErrorHandler onError) = 0;
};

} // namespace brimo::ipc::detail
