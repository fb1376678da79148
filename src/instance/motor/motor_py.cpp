// Python classes Motor (a broadcast group of up to four FOC drivers) and Device (one driver
// of a group, handed out by Motor.add_device).
#include "py/args.hpp"
#include "py/gil.hpp"
#include "py/types.hpp"

#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include "comm/protocol/driver/control/foc_mode.hpp"
#include "instance/motor/motor.hpp"
#include "module/entries.hpp"

namespace quorix::module {
namespace {

// ---- shared pieces ---------------------------------------------------------------------------

// The payload of a Python Device: one shared handle; the group's list holds the same Device.
struct PyDevice {
    explicit PyDevice(std::shared_ptr<Device> d) noexcept : device(std::move(d)) {}
    std::shared_ptr<Device> device;
};

PyTypeObject* DEVICE_TYPE = nullptr;
PyTypeObject* MOTOR_TYPE = nullptr;

Device& device_of(PyObject* self) { return *py::payload<PyDevice>(self).device; }
Motor& motor_of(PyObject* self) { return py::payload<Motor>(self); }

py::Ref none() { return py::Ref::borrow(Py_None); }

py::Ref text_object(const char* text, int len) {
    if (len < 0) py::raise(PyExc_SystemError, "formatting failed");
    return py::check(PyUnicode_FromStringAndSize(text, len));
}

// The mode text, lower-cased as str.lower() does (full Unicode case mapping: "SPEED" and
// "Speed" are accepted), then compared exactly: " speed" is not a mode. The error shows the
// lower-cased text.
FocMode parse_foc_mode(const py::Args& a, std::size_t i) {
    PyObject* text = a.raw(i);
    a.with_context<bool>(i, [&] {
        if (!PyUnicode_Check(text)) py::raise_cannot_convert(text, "PyString");
        return true;
    });
    // str.lower itself, so that a subclass cannot change what a mode is.
    py::Ref lowered =
        py::check(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", text));
    for (FocMode m : {FocMode::Current, FocMode::Speed, FocMode::Position}) {
        if (PyUnicode_CompareWithASCIIString(lowered.get(), foc_mode_text(m).data()) == 0) return m;
    }
    PyErr_Format(PyExc_ValueError, "unknown mode '%U', expected 'current', 'speed', or 'position'",
                 lowered.get());
    throw py::PyErrorSet{};
}

// Dictionary keys, interned once and kept for the life of the process.
struct FeedbackKeys {
    PyObject* position;
    PyObject* speed;
    PyObject* current;
};

FeedbackKeys make_feedback_keys() {
    py::Ref position = py::check(PyUnicode_InternFromString("position"));
    py::Ref speed = py::check(PyUnicode_InternFromString("speed"));
    py::Ref current = py::check(PyUnicode_InternFromString("current"));
    return {position.release(), speed.release(), current.release()};
}

const FeedbackKeys& feedback_keys() {
    static const FeedbackKeys KEYS = make_feedback_keys();  // leaked on purpose
    return KEYS;
}

void set_float_item(PyObject* dict, PyObject* key, float value) {
    py::Ref v = py::check(PyFloat_FromDouble(value));
    if (PyDict_SetItem(dict, key, v.get()) < 0) throw py::PyErrorSet{};
}

// {"position": ..., "speed": ..., "current": ...}, in that order.
py::Ref feedback_object(const Feedback& fb) {
    const FeedbackKeys& keys = feedback_keys();
    py::Ref dict = py::check(PyDict_New());
    set_float_item(dict.get(), keys.position, fb.position);
    set_float_item(dict.get(), keys.speed, fb.speed);
    set_float_item(dict.get(), keys.current, fb.current);
    return dict;
}

// The latest feedback of a device. Usually the lock is free and this takes no wait at all;
// otherwise the wait keeps the interpreter lock (held_wait) while the feedback task finishes
// its twelve-byte copy.
Feedback read_feedback(Device& d) {
    if (auto fb = d.try_get_feedback()) return *fb;
    return py::held_wait([&] { return d.get_feedback_blocking(); });
}

// ---- Device ----------------------------------------------------------------------------------

constexpr py::ArgTable DEVICE_SET_TARGET_ARGS{"Device.set_target()", {"value"}, 1};
constexpr py::ArgTable DEVICE_GET_TARGET_ARGS{"Device.get_target()", {}, 0};
constexpr py::ArgTable DEVICE_GET_FEEDBACK_ARGS{"Device.get_feedback()", {}, 0};
constexpr py::ArgTable DEVICE_ENTER_CONFIGURE_ARGS{"Device.enter_configure()", {}, 0};
constexpr py::ArgTable DEVICE_EXIT_CONFIGURE_ARGS{"Device.exit_configure()", {}, 0};
constexpr py::ArgTable DEVICE_START_CALIBRATION_ARGS{"Device.start_calibration()", {}, 0};
constexpr py::ArgTable DEVICE_SET_FOC_MODE_ARGS{"Device.set_foc_mode()", {"mode"}, 1};

// The hot path of a control loop: one float conversion and one short lock; no allocation.
PyObject* device_set_target(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        auto a = py::parse(DEVICE_SET_TARGET_ARGS, args, nargs, kwnames);
        device_of(self).set_target(a.get<float>(0));
        return none();
    });
}

PyObject* device_get_target(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::parse(DEVICE_GET_TARGET_ARGS, args, nargs, kwnames);
        return py::check(PyFloat_FromDouble(device_of(self).get_target()));
    });
}

PyObject* device_get_feedback(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::parse(DEVICE_GET_FEEDBACK_ARGS, args, nargs, kwnames);
        return feedback_object(read_feedback(device_of(self)));
    });
}

PyObject* device_enter_configure(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::parse(DEVICE_ENTER_CONFIGURE_ARGS, args, nargs, kwnames);
        py::unwrap(device_of(self).enter_configure());
        return none();
    });
}

PyObject* device_exit_configure(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::parse(DEVICE_EXIT_CONFIGURE_ARGS, args, nargs, kwnames);
        py::unwrap(device_of(self).exit_configure());
        return none();
    });
}

// The 200 ms pause keeps the interpreter lock, as every motor call does (held_wait).
PyObject* device_start_calibration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return py::guarded([&] {
        py::parse(DEVICE_START_CALIBRATION_ARGS, args, nargs, kwnames);
        Device& d = device_of(self);
        py::unwrap(py::held_wait([&] { return d.start_calibration(); }));
        return none();
    });
}

PyObject* device_set_foc_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        auto a = py::parse(DEVICE_SET_FOC_MODE_ARGS, args, nargs, kwnames);
        py::unwrap(device_of(self).set_foc_mode(parse_foc_mode(a, 0)));
        return none();
    });
}

PyObject* device_slot_index(PyObject* self, void*) {
    return py::guarded([&] { return py::check(PyLong_FromLong(device_of(self).slot_index())); });
}

PyObject* device_node_id(PyObject* self, void*) {
    return py::guarded([&] { return py::check(PyLong_FromUnsignedLong(device_of(self).node_id())); });
}

// "10.0000" for finite values; "NaN", "inf" and "-inf" otherwise (never C's "nan" or "-nan").
int format_target(char* out, std::size_t size, float target) {
    if (std::isnan(target)) return std::snprintf(out, size, "NaN");
    if (std::isinf(target)) return std::snprintf(out, size, target > 0 ? "inf" : "-inf");
    return std::snprintf(out, size, "%.4f", static_cast<double>(target));
}

PyObject* device_repr(PyObject* self) {
    return py::guarded([&] {
        const Device& d = device_of(self);
        char target[64];  // FLT_MAX with four decimals takes 44 characters
        format_target(target, sizeof target, d.get_target());
        char text[128];
        const int n =
            std::snprintf(text, sizeof text, "Device(slot=%u, node_id=0x%X, target=%s)",
                          static_cast<unsigned>(d.slot_index()), static_cast<unsigned>(d.node_id()), target);
        return text_object(text, n);
    });
}

PyMethodDef DEVICE_METHODS[] = {
    {"set_target", py::fastcall(device_set_target), METH_FASTCALL | METH_KEYWORDS,
     "set_target($self, value)\n--\n\n"
     "设置目标值（物理量）\n\n"
     "电流模式单位为 A，速度模式为 rad/s，位置模式为 rad；"
     "在下一次 Motor.broadcast() 时编码为 i16 写入广播帧。\n\n"
     "示例:\n    device.set_target(10.0)"},
    {"get_target", py::fastcall(device_get_target), METH_FASTCALL | METH_KEYWORDS,
     "get_target($self)\n--\n\n读取当前目标值"},
    {"get_feedback", py::fastcall(device_get_feedback), METH_FASTCALL | METH_KEYWORDS,
     "get_feedback($self)\n--\n\n"
     "获取最新反馈\n\n"
     "返回:\n    字典，键为 position（rad）、speed（rad/s）、current（A）\n\n"
     "示例:\n    fb = device.get_feedback()\n"
     "    print(f\"位置 {fb['position']:.3f} rad，速度 {fb['speed']:.2f} rad/s\")"},
    {"enter_configure", py::fastcall(device_enter_configure), METH_FASTCALL | METH_KEYWORDS,
     "enter_configure($self)\n--\n\n"
     "DR v1：单播进入 DR 配置会话（第一帧字节 3 = 0x73，第二帧 0x74，dest 与 CTL 字节 6 相同）"},
    {"exit_configure", py::fastcall(device_exit_configure), METH_FASTCALL | METH_KEYWORDS,
     "exit_configure($self)\n--\n\n"
     "DR v1：在 DR 配置会话内发送结束会话命令（组 0，码 0；不改变固件的运行状态）"},
    {"start_calibration", py::fastcall(device_start_calibration), METH_FASTCALL | METH_KEYWORDS,
     "start_calibration($self)\n--\n\n"
     "DR v1：在 DR 配置会话内请求编码器电角度零点；发送后阻塞约 200 ms"},
    {"set_foc_mode", py::fastcall(device_set_foc_mode), METH_FASTCALL | METH_KEYWORDS,
     "set_foc_mode($self, mode)\n--\n\nDR v1：必须在 DR 配置会话内调用"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef DEVICE_GETSET[] = {
    {"slot_index", device_slot_index, nullptr, "槽位索引（0～3）", nullptr},
    {"node_id", device_node_id, nullptr, "驱动器节点 ID / 反馈帧 CAN ID（与固件 node_id 相同）", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr py::TypeTable DEVICE_TABLE{
    .name = "builtins.Device",
    .doc =
        "广播组中单个电机驱动器的收发单元\n\n"
        "由 Motor.add_device() 创建。持有者可随时调用 set_target(value) 设置下一次广播的目标值，"
        "调用 get_feedback() 读取最新反馈。\n\n"
        "广播帧格式：8 字节，4 × i16 小端；[0..2] 槽位 0，[2..4] 槽位 1，[4..6] 槽位 2，[6..8] 槽位 3",
    .basicsize = sizeof(py::Object<PyDevice>),
    .dealloc = py::dealloc<PyDevice>,
    .repr = device_repr,
    .methods = DEVICE_METHODS,
    .getset = DEVICE_GETSET,
    .cache = &DEVICE_TYPE,
};

py::Ref new_device_object(std::shared_ptr<Device> device) {
    return py::new_object<PyDevice>(DEVICE_TYPE, std::move(device));
}

// ---- Motor -----------------------------------------------------------------------------------

constexpr py::ArgTable MOTOR_NEW_ARGS{"Motor.__new__()", {"interface", "host", "host_id"}, 1};
constexpr py::ArgTable MOTOR_ADD_DEVICE_ARGS{"Motor.add_device()", {"slot_index", "node_id", "mode"}, 3};
constexpr py::ArgTable MOTOR_SET_TARGET_ARGS{"Motor.set_target()", {"slot_index", "value"}, 2};
constexpr py::ArgTable MOTOR_BROADCAST_ARGS{"Motor.broadcast()", {}, 0};
constexpr py::ArgTable MOTOR_GET_FEEDBACK_ARGS{"Motor.get_feedback()", {"slot_index"}, 1};
constexpr py::ArgTable MOTOR_ENTER_CONFIGURE_ARGS{"Motor.enter_configure_broadcast()", {}, 0};
constexpr py::ArgTable MOTOR_EXIT_CONFIGURE_ARGS{"Motor.exit_configure_broadcast()", {}, 0};
constexpr py::ArgTable MOTOR_CALIBRATE_ARGS{"Motor.calibrate_broadcast()", {}, 0};
constexpr py::ArgTable MOTOR_SET_FOC_MODE_ARGS{"Motor.set_foc_mode_broadcast()", {"mode"}, 1};

PyObject* motor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::guarded([&] {
        auto a = py::parse_tuple(MOTOR_NEW_ARGS, args, kwargs);
        // Every conversion comes before the host rules: Motor("can0", "x") is a TypeError.
        std::string interface = a.get<std::string>(0);
        const auto host = a.opt<std::uint32_t>(1);
        const auto host_id = a.opt<std::uint32_t>(2);
        if (host && host_id) py::raise(PyExc_ValueError, "pass only one of 'host' or 'host_id', not both");
        if (!host && !host_id)
            py::raise(PyExc_ValueError, "missing host CAN id: use second argument or host= / host_id=");
        const std::uint32_t id = host ? *host : *host_id;
        // Provisioning may run ip and sudo; the wait keeps the interpreter lock (held_wait).
        auto motor = py::held_wait([&] { return Motor::open(std::move(interface), id); });
        return py::new_object<Motor>(type, py::unwrap(std::move(motor)));
    });
}

PyObject* motor_add_device(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        auto a = py::parse(MOTOR_ADD_DEVICE_ARGS, args, nargs, kwnames);
        const auto slot_index = a.get<std::uint8_t>(0);
        const auto node_id = a.get<std::uint32_t>(1);
        const FocMode mode = parse_foc_mode(a, 2);  // before anything is sent
        auto device = py::unwrap(motor_of(self).add_device(slot_index, node_id, mode));
        return new_device_object(std::move(device));
    });
}

PyObject* motor_set_target(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        auto a = py::parse(MOTOR_SET_TARGET_ARGS, args, nargs, kwnames);
        const auto slot_index = a.get<std::uint8_t>(0);
        motor_of(self).set_target(slot_index, a.get<float>(1));
        return none();
    });
}

// The other hot path: packs the targets under the list lock and queues one frame; no allocation.
PyObject* motor_broadcast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::parse(MOTOR_BROADCAST_ARGS, args, nargs, kwnames);
        py::unwrap(motor_of(self).broadcast());
        return none();
    });
}

PyObject* motor_get_feedback(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        auto a = py::parse(MOTOR_GET_FEEDBACK_ARGS, args, nargs, kwnames);
        auto device = motor_of(self).device_in_slot(a.get<std::uint8_t>(0));
        if (!device) return none();
        return feedback_object(read_feedback(*device));
    });
}

PyObject* motor_enter_configure(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::parse(MOTOR_ENTER_CONFIGURE_ARGS, args, nargs, kwnames);
        py::unwrap(motor_of(self).enter_configure_broadcast());
        return none();
    });
}

PyObject* motor_exit_configure(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::parse(MOTOR_EXIT_CONFIGURE_ARGS, args, nargs, kwnames);
        py::unwrap(motor_of(self).exit_configure_broadcast());
        return none();
    });
}

PyObject* motor_calibrate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        py::parse(MOTOR_CALIBRATE_ARGS, args, nargs, kwnames);
        Motor& m = motor_of(self);
        py::unwrap(py::held_wait([&] { return m.calibrate_broadcast(); }));
        return none();
    });
}

PyObject* motor_set_foc_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::guarded([&] {
        auto a = py::parse(MOTOR_SET_FOC_MODE_ARGS, args, nargs, kwnames);
        py::unwrap(motor_of(self).set_foc_mode_broadcast(parse_foc_mode(a, 0)));
        return none();
    });
}

PyObject* motor_host(PyObject* self, void*) {
    return py::guarded([&] { return py::check(PyLong_FromUnsignedLong(motor_of(self).host_id())); });
}

PyObject* motor_repr(PyObject* self) {
    return py::guarded([&] {
        const Motor& m = motor_of(self);
        char text[64];
        const int n = std::snprintf(text, sizeof text, "Motor(host=0x%X, devices=%zu)",
                                    static_cast<unsigned>(m.host_id()), m.device_count());
        return text_object(text, n);
    });
}

#if QUORIX_TEST_HOOKS
// Test builds only: the feedback task's counters, to compare with what the peers sent.
PyObject* motor_feedback_stats(PyObject* self, void*) {
    return py::guarded([&] {
        const FeedbackStats& s = motor_of(self).feedback_stats();
        py::Ref dict = py::check(PyDict_New());
        const std::pair<const char*, std::int64_t> items[] = {
            {"received", static_cast<std::int64_t>(s.received.load(std::memory_order_relaxed))},
            {"stored", static_cast<std::int64_t>(s.stored.load(std::memory_order_relaxed))},
            {"ignored", static_cast<std::int64_t>(s.ignored.load(std::memory_order_relaxed))},
            {"unmatched", static_cast<std::int64_t>(s.unmatched.load(std::memory_order_relaxed))},
            // the monotonic clock (time.perf_counter_ns()) just after the last store
            {"last_store_ns", s.last_store_ns.load(std::memory_order_relaxed)},
        };
        for (const auto& [key, value] : items) {
            py::Ref v = py::check(PyLong_FromLongLong(value));
            if (PyDict_SetItemString(dict.get(), key, v.get()) < 0) throw py::PyErrorSet{};
        }
        return dict;
    });
}
#endif

PyMethodDef MOTOR_METHODS[] = {
    {"add_device", py::fastcall(motor_add_device), METH_FASTCALL | METH_KEYWORDS,
     "add_device($self, slot_index, node_id, mode)\n--\n\n"
     "向广播组添加一个驱动器\n\n"
     "创建时先发送 DR v1 单播进入配置会话，再设置 mode 指定的 FOC 模式，最后结束会话"
     "（不写 Flash，不请求编码器零点）。\n\n"
     "参数:\n"
     "    slot_index: 广播帧槽位 0～3，必须与驱动器固件中的 target_index 一致\n"
     "    node_id: 驱动器节点 ID（即反馈帧的 CAN ID）\n"
     "    mode: FOC 控制模式，\"current\"、\"speed\" 或 \"position\"\n\n"
     "返回:\n    Device\n\n"
     "异常:\n    OSError: CAN 发送失败\n\n"
     "示例:\n    d = motor.add_device(slot_index=0, node_id=0x201, mode=\"speed\")"},
    {"set_target", py::fastcall(motor_set_target), METH_FASTCALL | METH_KEYWORDS,
     "set_target($self, slot_index, value)\n--\n\n"
     "按槽位索引直接设置目标值\n\n"
     "value 为与该 Device 模式对应的物理量；该槽位没有注册 Device 时忽略此调用。\n\n"
     "示例:\n"
     "    motor.set_target(0, 10.0)   # 槽位 0：10 rad/s\n"
     "    motor.set_target(1, -5.0)   # 槽位 1：-5 rad/s\n"
     "    motor.broadcast()"},
    {"broadcast", py::fastcall(motor_broadcast), METH_FASTCALL | METH_KEYWORDS,
     "broadcast($self)\n--\n\n"
     "把所有 Device 的目标值打包成一帧 CAN 广播帧并发送\n\n"
     "帧格式：8 字节，4 × i16 小端，未注册的槽位填 0"},
    {"get_feedback", py::fastcall(motor_get_feedback), METH_FASTCALL | METH_KEYWORDS,
     "get_feedback($self, slot_index)\n--\n\n"
     "按槽位索引获取反馈\n\n"
     "返回:\n    字典，键为 position（rad）、speed（rad/s）、current（A）；该槽位未注册时返回 None\n\n"
     "示例:\n"
     "    fb = motor.get_feedback(0)\n"
     "    if fb is not None:\n"
     "        print(f\"位置 {fb['position']:.3f} rad，速度 {fb['speed']:.2f} rad/s\")"},
    {"enter_configure_broadcast", py::fastcall(motor_enter_configure), METH_FASTCALL | METH_KEYWORDS,
     "enter_configure_broadcast($self)\n--\n\n"
     "DR v1：广播进入 DR 配置会话（dest 0xFFFF；先 0x73 后 0x74，dest 与 CTL 字节 6 相同）"},
    {"exit_configure_broadcast", py::fastcall(motor_exit_configure), METH_FASTCALL | METH_KEYWORDS,
     "exit_configure_broadcast($self)\n--\n\nDR v1：广播结束 DR 配置会话（组 0，码 0）"},
    {"calibrate_broadcast", py::fastcall(motor_calibrate), METH_FASTCALL | METH_KEYWORDS,
     "calibrate_broadcast($self)\n--\n\n"
     "DR v1：在 DR 配置会话内，广播请求编码器电角度零点；发送后阻塞约 200 ms"},
    {"set_foc_mode_broadcast", py::fastcall(motor_set_foc_mode), METH_FASTCALL | METH_KEYWORDS,
     "set_foc_mode_broadcast($self, mode)\n--\n\n"
     "DR v1：在 DR 配置会话内广播设置 FOC 模式（不改变各 Device 记录的模式）"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef MOTOR_GETSET[] = {
    {"host", motor_host, nullptr, "主机端控制帧 CAN ID（与 host 相同）", nullptr},
    {"host_id", motor_host, nullptr, "主机端控制帧 CAN ID（与 host 相同）", nullptr},
#if QUORIX_TEST_HOOKS
    {"_feedback_stats", motor_feedback_stats, nullptr, "测试用：反馈任务的计数", nullptr},
#endif
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr py::TypeTable MOTOR_TABLE{
    .name = "builtins.Motor",
    .doc =
        "Motor(interface, host=None, host_id=None)\n--\n\n"
        "广播电机控制器\n\n"
        "一个 Motor 对应一个 CAN 接口，通过 add_device() 最多注册 4 个驱动器；"
        "每次调用 broadcast() 把所有驱动器的目标值打包进一帧 CAN 报文广播发送。\n\n"
        "示例:\n"
        "    motor = Motor(\"can0\", host=0x100)\n"
        "    d1 = motor.add_device(slot_index=0, node_id=0x201, mode=\"speed\")\n"
        "    d2 = motor.add_device(slot_index=1, node_id=0x202, mode=\"speed\")\n"
        "    d1.set_target(10.0)\n"
        "    d2.set_target(-5.0)\n"
        "    motor.broadcast()  # 一帧报文同时驱动两个驱动器",
    .basicsize = sizeof(py::Object<Motor>),
    .dealloc = py::dealloc<Motor>,
    .new_fn = motor_new,
    .repr = motor_repr,
    .methods = MOTOR_METHODS,
    .getset = MOTOR_GETSET,
    .cache = &MOTOR_TYPE,
};

}  // namespace

void add_device_type(PyObject* module) { py::add_type(module, DEVICE_TABLE); }
void add_motor_type(PyObject* module) { py::add_type(module, MOTOR_TABLE); }

}  // namespace quorix::module
