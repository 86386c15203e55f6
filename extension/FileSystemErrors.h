#pragma once

#include "extension/PhoneLink.h"

namespace brimo::fs {

// The errno a program gets for a relayed request's outcome. `wrongKind` is what the phone's
// "wrong kind of item" means for this request (EISDIR where a file was needed, ENOTDIR where a
// directory was).
int relayErrno(const CallOutcome& outcome, int wrongKind = EISDIR);
// The errno for a file-IO call's outcome.
int fileIOErrno(const CallOutcome& outcome);

} // namespace brimo::fs
