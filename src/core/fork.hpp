// Worker pools in a forked child.
//
// A child of fork() inherits each coordinator's pool as the parent left it:
// thread objects whose threads do not exist in the child, an idle count that
// says they are free, and locks that another thread may have held at the
// moment of the fork. Such a pool never starts a worker again (every scan
// waits out its limit and the text passes unscanned) and can block in
// `submit` for good. So coordinators are tracked weakly from construction,
// and a hook that the interpreter runs in the child, before os.fork() returns
// there, gives each one a fresh pool of the same shape. The parent is not
// touched, and a process that never constructs a coordinator registers
// nothing.
#pragma once

#include "support/ref.hpp"

namespace norv::core {

// Tracks `self_b`, whose `_executor` has just been set; the first call also
// registers the hook. 0, or -1 with an exception set. An object that cannot be
// weakly referenced is not tracked and keeps its inherited pool in a child.
int track_for_fork(PyObject* self_b) noexcept;

}  // namespace norv::core
