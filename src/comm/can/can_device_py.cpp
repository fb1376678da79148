// Python classes CanDevice (blocking) and CanDeviceNonBlocking (queues served by a background
// I/O task) over the raw CAN devices.
#include "comm/can/can_device_py.hpp"

#include "py/args.hpp"
#include "py/gil.hpp"
#include "py/method.hpp"
#include "py/to_python.hpp"
#include "py/types.hpp"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include "comm/can/borrow_flag.hpp"
#include "comm/can/can_device_async.hpp"
#include "comm/can/can_device_sync.hpp"
#include "runtime/block_on.hpp"

namespace quorix {
namespace {

// ---- shared pieces ---------------------------------------------------------------------------

ByteView bytes_of(const py::ByteArg& data) noexcept { return {data.data(), data.size()}; }

// (id, bytes) for a message; None for an absent one.
py::Ref message_object(const std::optional<CanMessage>& message) {
    if (!message) return py::none();
    py::Ref id = py::check(PyLong_FromUnsignedLong(message->id));
    const ByteView data = message->payload();
    py::Ref bytes = py::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                        static_cast<Py_ssize_t>(data.size())));
    py::Ref tuple = py::check(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.get(), 0, id.release());  // steals
    PyTuple_SET_ITEM(tuple.get(), 1, bytes.release());
    return tuple;
}

// A wait that keeps the interpreter lock (held_wait). Reached on a runtime worker thread
// that still holds its seat, the thread first gives the seat to another one, as run_blocking
// does, so the other tasks keep running while it blocks.
template <class F>
decltype(auto) blocking_wait(F&& wait) {
    std::optional<rt::BlockingSection> section;
    if (rt::on_worker_thread()) section.emplace();
    return py::held_wait(std::forward<F>(wait));
}

// ---- CanDevice -------------------------------------------------------------------------------

// A device lent out twice is refused with RuntimeError, as the flag refuses it.
std::unique_lock<BorrowFlag> borrow_exclusive(BorrowFlag& flag) {
    std::unique_lock borrow(flag, std::try_to_lock);
    if (!borrow) py::raise(PyExc_RuntimeError, "Already borrowed");
    return borrow;
}

std::shared_lock<BorrowFlag> borrow_shared(BorrowFlag& flag) {
    std::shared_lock borrow(flag, std::try_to_lock);
    if (!borrow) py::raise(PyExc_RuntimeError, "Already mutably borrowed");
    return borrow;
}

struct PyCanDevice {
    explicit PyCanDevice(CanDeviceSync d) noexcept : device(std::move(d)) {}
    CanDeviceSync device;
    BorrowFlag borrow;
};

PyTypeObject* CAN_DEVICE_TYPE = nullptr;

constexpr py::ArgTable CAN_DEVICE_NEW_ARGS{"CanDevice.__new__()", {"interface"}, 1};
constexpr py::ArgTable CAN_DEVICE_SEND_ARGS{"CanDevice.send()", {"id", "data"}, 2};
constexpr py::ArgTable CAN_DEVICE_RECEIVE_ARGS{"CanDevice.receive()", {}, 0};
constexpr py::ArgTable CAN_DEVICE_INTERFACE_ARGS{"CanDevice.interface()", {}, 0};

PyObject* can_device_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        auto a = py::parse_tuple<CAN_DEVICE_NEW_ARGS>(args, kwargs);
        std::string interface = a.get<std::string>(0);
        auto device = blocking_wait([&] { return CanDeviceSync::open(std::move(interface)); });
        return py::new_object<PyCanDevice>(type, py::unwrap(std::move(device)));
    });
}

void can_device_send(PyCanDevice& d, std::uint32_t id, const py::ByteArg& data) {
    auto borrow = borrow_exclusive(d.borrow);
    py::unwrap(blocking_wait([&] { return d.device.send(id, bytes_of(data)); }));
}

py::Ref can_device_receive(PyCanDevice& d) {
    auto borrow = borrow_exclusive(d.borrow);
    auto message = blocking_wait([&] { return d.device.receive(); });
    return message_object(py::unwrap(std::move(message)));
}

py::Ref can_device_interface(PyCanDevice& d) {
    auto borrow = borrow_shared(d.borrow);
    return py::str_object(d.device.interface());
}

PyMethodDef CAN_DEVICE_METHODS[] = {
    py::method<CAN_DEVICE_SEND_ARGS, can_device_send>(
        "send",
        "send($self, id, data)\n--\n\nSend a CAN frame (blocking)\n\nArgs:\n    id: CAN frame ID\n"
        "    data: Data bytes to send (up to 8 bytes)"),
    py::method<CAN_DEVICE_RECEIVE_ARGS, can_device_receive>(
        "receive",
        "receive($self)\n--\n\nReceive a CAN frame (blocking)\n\nReturns:\n"
        "    Tuple of (id, data) where id is u32 and data is bytes"),
    py::method<CAN_DEVICE_INTERFACE_ARGS, can_device_interface>(
        "interface", "interface($self)\n--\n\nGet the interface name"),
    {nullptr, nullptr, 0, nullptr},
};

// ---- CanDeviceNonBlocking ----------------------------------------------------------------------

// The device is shared: the I/O task outlives nothing but what holds it, and its methods
// need no exclusive access.
struct PyCanDeviceNonBlocking {
    explicit PyCanDeviceNonBlocking(std::shared_ptr<CanDeviceAsync> d) noexcept : device(std::move(d)) {}
    std::shared_ptr<CanDeviceAsync> device;
};

PyTypeObject* CAN_DEVICE_NON_BLOCKING_TYPE = nullptr;

constexpr py::ArgTable NON_BLOCKING_NEW_ARGS{"CanDeviceNonBlocking.__new__()", {"interface"}, 1};
constexpr py::ArgTable NON_BLOCKING_SEND_ARGS{"CanDeviceNonBlocking.send()", {"id", "data"}, 2};
constexpr py::ArgTable NON_BLOCKING_TRY_RECEIVE_ARGS{"CanDeviceNonBlocking.try_receive()", {}, 0};
constexpr py::ArgTable NON_BLOCKING_RECEIVE_TIMEOUT_ARGS{
    "CanDeviceNonBlocking.receive_timeout()", {"timeout_ms"}, 1};
constexpr py::ArgTable NON_BLOCKING_INTERFACE_ARGS{"CanDeviceNonBlocking.interface()", {}, 0};

PyObject* non_blocking_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        auto a = py::parse_tuple<NON_BLOCKING_NEW_ARGS>(args, kwargs);
        std::string interface = a.get<std::string>(0);
        // Provisioning runs on this thread; opening the socket waits for nothing, so this
        // also works from a function run by an async task (see CanDeviceAsync::start).
        auto device = py::held_wait([&] { return CanDeviceAsync::open(std::move(interface)); });
        return py::new_object<PyCanDeviceNonBlocking>(type, py::unwrap(std::move(device)));
    });
}

// The hot path: argument conversion and one queue insertion; nothing is allocated for a
// payload given as bytes, and the I/O task is woken only when it sleeps.
IoResult<void> non_blocking_send(PyCanDeviceNonBlocking& d, std::uint32_t id, const py::ByteArg& data) {
    return d.device->send_nonblocking(id, bytes_of(data));
}

py::Ref non_blocking_try_receive(PyCanDeviceNonBlocking& d) {
    CanDeviceAsync& device = *d.device;
    return message_object(py::held_wait([&] { return device.try_receive(); }));
}

py::Ref non_blocking_receive_timeout(PyCanDeviceNonBlocking& d, std::uint64_t timeout_ms) {
    CanDeviceAsync& device = *d.device;
    return message_object(py::held_wait([&] { return device.receive_timeout(timeout_ms); }));
}

py::Ref non_blocking_interface(PyCanDeviceNonBlocking& d) { return py::str_object(d.device->interface()); }

PyMethodDef NON_BLOCKING_METHODS[] = {
    py::method<NON_BLOCKING_SEND_ARGS, non_blocking_send>(
        "send",
        "send($self, id, data)\n--\n\nSend a CAN frame (non-blocking)\n\nArgs:\n    id: CAN frame ID\n"
        "    data: Data bytes to send (up to 8 bytes)"),
    py::method<NON_BLOCKING_TRY_RECEIVE_ARGS, non_blocking_try_receive>(
        "try_receive",
        "try_receive($self)\n--\n\nTry to receive a CAN frame (non-blocking)\n\nReturns:\n"
        "    Tuple of (id, data) if message available, None otherwise"),
    py::method<NON_BLOCKING_RECEIVE_TIMEOUT_ARGS, non_blocking_receive_timeout>(
        "receive_timeout",
        "receive_timeout($self, timeout_ms)\n--\n\nReceive a CAN frame with timeout\n\nArgs:\n"
        "    timeout_ms: Timeout in milliseconds\n\nReturns:\n"
        "    Tuple of (id, data) if message received, None if timeout"),
    py::method<NON_BLOCKING_INTERFACE_ARGS, non_blocking_interface>(
        "interface", "interface($self)\n--\n\nGet the interface name"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

constexpr py::TypeTable CAN_DEVICE_TABLE{
    .name = "builtins.CanDevice",
    .doc = "CanDevice(interface)\n--\n\n简单模式 CAN 设备（阻塞 API）\n\n这个版本使用同步 API，适合简单场景",
    .basicsize = sizeof(py::Object<PyCanDevice>),
    .dealloc = py::dealloc<PyCanDevice>,
    .new_fn = can_device_new,
    .methods = CAN_DEVICE_METHODS,
    .cache = &CAN_DEVICE_TYPE,
};

constexpr py::TypeTable CAN_DEVICE_NON_BLOCKING_TABLE{
    .name = "builtins.CanDeviceNonBlocking",
    .doc =
        "CanDeviceNonBlocking(interface)\n--\n\n高级模式 CAN 设备（非阻塞 API）\n\n"
        "CAN 通信由后台任务处理，API 不会阻塞",
    .basicsize = sizeof(py::Object<PyCanDeviceNonBlocking>),
    .dealloc = py::dealloc<PyCanDeviceNonBlocking>,
    .new_fn = non_blocking_new,
    .methods = NON_BLOCKING_METHODS,
    .cache = &CAN_DEVICE_NON_BLOCKING_TYPE,
};

}  // namespace quorix
