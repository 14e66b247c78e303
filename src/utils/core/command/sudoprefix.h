#pragma once

#include "platform/process/childprocess.h"

// "sudo CMD ..." asks for root rights. A caller that already has them (effective user id 0)
// starts CMD itself: sudo would add nothing but a program that can be missing, hang or ask for
// a password. Anyone else keeps sudo, as do requests that pass options to sudo itself.
ChildRequest withoutSudoForRoot(ChildRequest request, bool callerIsRoot);
