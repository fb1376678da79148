// At interpreter exit, the frames that the program queued on non-blocking CAN devices are
// given a bounded time to reach the bus: the last command of a script (zero targets, a
// stop) must not be lost because the process ended before the I/O task wrote it.
#include "module/exit_flush.hpp"

#include <string>

#include "comm/can/unwritten_frames.hpp"
#include "py/errors.hpp"
#include "py/gil.hpp"
#include "base/console.hpp"

namespace quorix::module {
namespace {

// A bus that does not move must not hold the exit longer than this.
constexpr std::chrono::seconds EXIT_FLUSH_LIMIT{1};

PyObject* flush_can_frames(PyObject*, PyObject*) {
    UnwrittenFrames& frames = unwritten_frames();
    if (frames.count() > 0) {
        const rt::Instant deadline = rt::now() + EXIT_FLUSH_LIMIT;
        // Released while waiting: the I/O tasks need no interpreter lock, but other threads
        // may still want it.
        const auto left = py::detached([&] { return frames.wait_until_finished(deadline); });
        if (left > 0) {
            write_stderr("Warning: " + std::to_string(left) +
                         " queued CAN frames were not written before exit\n");
        }
    }
    return py::Ref::borrow(Py_None).release();
}

PyMethodDef FLUSH_CAN_FRAMES_DEF = {
    "_quorix_flush_can_frames", flush_can_frames, METH_NOARGS,
    "_quorix_flush_can_frames()\n--\n\n解释器退出时调用：等待已排队的 CAN 帧写入总线（最多 1 秒）"};

}  // namespace

void register_exit_flush() {
    // Registered at import, before the program's own atexit callbacks: those run first (last
    // in, first out), so frames they send are waited for too.
    py::Ref fn = py::check(PyCFunction_New(&FLUSH_CAN_FRAMES_DEF, nullptr));
    py::Ref atexit = py::check(PyImport_ImportModule("atexit"));
    py::Ref done = py::check(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
}

}  // namespace quorix::module
