// The immutable value classes, each made from a table of its fields: one row per field (its
// name, the C++ member, its docstring and how its repr shows it) gives the read-only attribute,
// the repr, equality, pickling and copying, __match_args__ and the stub's description. A value
// owns a copy of its C++ record; nothing else refers to it.
#include "bindings/classes.h"
#include "bindings/method_def.h"
#include "common/repr.h"

#include <new>

namespace wenlo::py {
namespace {

using control_loop::StatsSnapshot;
using control_loop::TorsoPosition;
using controller::JointHealth;

std::string three_decimals(const double& value) {
    return fmt::fixed(value, 3);  // also "inf", and "NaN"
}

template <typename M>
struct MemberOf;
template <typename R, typename T>
struct MemberOf<T R::*> {
    using Type = T;
};

// One field of a value class.
template <auto Member>
struct Field {
    using Type = typename MemberOf<decltype(Member)>::Type;
    static auto& of(auto& record) { return record.*Member; }
    const char* name;
    const char* doc = nullptr;
    std::string (*repr)(const Type&) = [](const Type& value) { return fmt::repr(value); };
};

// What each value class is: its name, docstring and fields; optionally its own repr and a
// constructor callable from Python.
template <typename V>
struct ValueClass;

// WenloTorsoPosition(left_arm, right_arm, nose, neck), taken now.
PyObject* make_torso(PyTypeObject* type, const std::vector<double>& left,
                     const std::vector<double>& right, const std::vector<double>& nose,
                     const std::vector<double>& neck);
struct TorsoName {
    static constexpr const char* kClassName = "WenloTorsoPosition";
};
const ConstructorSpec g_torso_constructor =
    constructor<TorsoName, make_torso, "left_arm", "right_arm", "nose", "neck">("");

template <>
struct ValueClass<TorsoPosition> {
    static constexpr const char* kClassName = TorsoName::kClassName;
    static constexpr const char* kDoc = nullptr;
    static constexpr std::tuple kFields{
        Field<&TorsoPosition::left_arm>{"left_arm"},
        Field<&TorsoPosition::right_arm>{"right_arm"},
        Field<&TorsoPosition::nose>{"nose"},
        Field<&TorsoPosition::neck>{"neck", "Neck joint positions in rad: [yaw, pitch, roll]."},
        Field<&TorsoPosition::timestamp>{"timestamp", nullptr, three_decimals},
    };
    static constexpr const ConstructorSpec* kConstructor = &g_torso_constructor;
};

template <>
struct ValueClass<StatsSnapshot> {
    static constexpr const char* kClassName = "ControlLoopStats";
    static constexpr const char* kDoc = nullptr;
    static constexpr std::tuple kFields{
        Field<&StatsSnapshot::period>{"period"},
        Field<&StatsSnapshot::read_dt>{"read_dt"},
        Field<&StatsSnapshot::write_dt>{"write_dt"},
    };
    static std::string repr(const StatsSnapshot& s) { return control_loop::summary(s); }
};

template <>
struct ValueClass<JointHealth> {
    using H = JointHealth;
    static constexpr const char* kClassName = "JointHealth";
    static constexpr const char* kDoc =
        "What one joint last reported, and whether it answers (an extension). Values\n"
        "the joint has not reported are None: a servo's velocity, effort, temperature\n"
        "and voltage come from telemetry reads only.";
    static constexpr std::tuple kFields{
        Field<&H::name>{"name", "The joint's name in the motor layout."},
        Field<&H::position>{"position", "rad"},
        Field<&H::velocity>{"velocity", "rad/s"},
        Field<&H::effort>{"effort",
                          "Servos: load as a fraction of full load, -1 to 1.\nNeck: torque in "
                          "the motor's unit."},
        Field<&H::temperature>{"temperature",
                               "Degrees Celsius; for the neck, the hotter of MOS and rotor."},
        Field<&H::voltage>{"voltage", "V, servos only."},
        Field<&H::faults>{
            "faults",
            "Active faults by name. Servos: \"voltage\", \"angle\", \"overheat\",\n"
            "\"overcurrent\", \"overload\". Neck: \"overvoltage\", \"undervoltage\",\n"
            "\"overcurrent\", \"mos_overheat\", \"rotor_overheat\", \"comm_lost\",\n"
            "\"overload\", and \"disabled\" for a motor that reports itself disabled\n"
            "while the controller believes it enabled."},
        Field<&H::age>{"age", "Seconds since this joint last answered; math.inf if it never has.",
                       three_decimals},
        Field<&H::failures>{
            "failures",
            "Consecutive reads in which this joint did not answer; 0 while it answers."},
    };
};

// --- the machinery, the same for every value class ------------------------------------------

template <typename V>
struct Object {
    PyObject_HEAD
    V value;
};

template <typename V>
inline PyObject* g_value_class = nullptr;

template <typename V, typename F>
void each_field(F&& f) {
    std::apply([&](const auto&... field) { (f(field), ...); }, ValueClass<V>::kFields);
}

template <typename V>
const V& value_of(PyObject* self) {
    return reinterpret_cast<Object<V>*>(self)->value;
}

template <typename V>
PyObject* new_value(PyTypeObject* type, V value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        new (&reinterpret_cast<Object<V>*>(self)->value) V(std::move(value));
    }
    return self;
}

template <typename V>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Object<V>*>(self)->value.~V();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <typename V, std::size_t I>
PyObject* get(PyObject* self, void*) {
    const auto& field = std::get<I>(ValueClass<V>::kFields);
    using T = typename std::remove_cvref_t<decltype(field)>::Type;
    return Caster<T>::to(field.of(value_of<V>(self)));
}

template <typename V>
PyObject* repr(PyObject* self) {
    return guard<PyObject*>(nullptr, [&] {
        const V& value = value_of<V>(self);
        std::string text;
        if constexpr (requires { ValueClass<V>::repr(value); }) {
            text = ValueClass<V>::repr(value);
        } else {
            each_field<V>([&](const auto& field) {
                text += (text.empty() ? "" : ", ") + std::string(field.name) + "=" +
                        field.repr(field.of(value));
            });
            text = std::string(ValueClass<V>::kClassName) + "(" + text + ")";
        }
        return Caster<std::string>::to(text);
    });
}

template <typename V>
constexpr std::size_t kFieldCount = std::tuple_size_v<decltype(ValueClass<V>::kFields)>;

// A tuple of item(field) for each field, in their order.
template <typename V, typename Item>
PyObject* tuple_of_fields(Item&& item) {
    Ref tuple = Ref::steal(PyTuple_New(kFieldCount<V>));
    bool filled = static_cast<bool>(tuple);
    Py_ssize_t i = 0;
    each_field<V>(
        [&](const auto& field) { filled = filled && set_item(tuple.get(), i++, item(field)); });
    return filled ? tuple.detach() : nullptr;
}

// Every field as Python sees it: what pickling keeps and equality compares.
template <typename V>
PyObject* field_values(PyObject* self) {
    return tuple_of_fields<V>([&](const auto& field) {
        using T = typename std::remove_cvref_t<decltype(field)>::Type;
        return Caster<T>::to(field.of(value_of<V>(self)));
    });
}

// Equal when every field is, as a dataclass; other types are left to Python (NotImplemented).
template <typename V>
PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    Ref mine = Ref::steal(field_values<V>(self));
    Ref theirs = Ref::steal(field_values<V>(other));
    return mine && theirs ? PyObject_RichCompare(mine.get(), theirs.get(), op) : nullptr;
}

constexpr const char* kFromFields = "_from_fields";

// Pickling and copying: the class's _from_fields, with every field as Python sees it.
template <typename V>
PyObject* reduce(PyObject* self, PyObject*) {
    Ref make =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), kFromFields));
    Ref fields = Ref::steal(make ? field_values<V>(self) : nullptr);
    return fields ? PyTuple_Pack(2, make.get(), fields.get()) : nullptr;
}

// The way back: a value from its fields, each converted as an argument would be.
template <typename V>
PyObject* from_fields(PyObject* cls, PyObject* const* args, Py_ssize_t nargs) {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        if (static_cast<std::size_t>(nargs) != kFieldCount<V>) {
            PyErr_Format(PyExc_TypeError, "%s.%s() takes %zu arguments (%zd given)",
                         ValueClass<V>::kClassName, kFromFields, kFieldCount<V>, nargs);
            return nullptr;
        }
        V value{};
        bool converted = true;
        Py_ssize_t i = 0;
        each_field<V>([&](const auto& field) {
            using T = typename std::remove_cvref_t<decltype(field)>::Type;
            converted = converted && Caster<T>::from(args[i++], field.of(value));
        });
        return converted ? new_value(reinterpret_cast<PyTypeObject*>(cls), std::move(value))
                         : nullptr;
    });
}

template <typename V>
PyObject* value_class() {
    if (g_value_class<V> != nullptr) {
        return g_value_class<V>;
    }
    using Class = ValueClass<V>;
    // Kept by the class for good.
    static std::vector<PyGetSetDef> getters = [] {
        std::vector<PyGetSetDef> table;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (table.push_back({std::get<I>(Class::kFields).name, get<V, I>, nullptr,
                              std::get<I>(Class::kFields).doc, nullptr}),
             ...);
        }(std::make_index_sequence<kFieldCount<V>>{});
        table.push_back({});
        return table;
    }();
    static PyMethodDef methods[] = {
        {"__reduce__", reduce<V>, METH_NOARGS, nullptr},
        {kFromFields, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_fields<V>)),
         METH_FASTCALL | METH_CLASS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static std::vector<PyType_Slot> slots = [] {
        std::vector<PyType_Slot> table = {
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<V>)},
            {Py_tp_repr, reinterpret_cast<void*>(repr<V>)},
            {Py_tp_richcompare, reinterpret_cast<void*>(richcompare<V>)},
            {Py_tp_getset, getters.data()},
            {Py_tp_methods, methods},
        };
        if constexpr (requires { Class::kConstructor; }) {
            table.push_back({Py_tp_doc, const_cast<char*>(Class::kConstructor->tp_doc)});
            table.push_back({Py_tp_new, reinterpret_cast<void*>(Class::kConstructor->tp_new)});
        } else if (Class::kDoc != nullptr) {
            table.push_back({Py_tp_doc, const_cast<char*>(Class::kDoc)});
        }
        table.push_back({0, nullptr});
        return table;
    }();
    unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if constexpr (!requires { Class::kConstructor; }) {
        flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    }
    static const std::string name = std::string("wenlo_motor_controller.") + Class::kClassName;
    static PyType_Spec spec = {name.c_str(), sizeof(Object<V>), 0, flags, slots.data()};
    Ref type = Ref::steal(PyType_FromSpec(&spec));
    // Positional patterns in `match`, as a dataclass has them; set before anyone can see the
    // class, whose dict is read-only from Python.
    Ref names = Ref::steal(
        tuple_of_fields<V>([](const auto& field) { return PyUnicode_FromString(field.name); }));
    if (!type || !names ||
        PyDict_SetItemString(reinterpret_cast<PyTypeObject*>(type.get())->tp_dict, "__match_args__",
                             names.get()) < 0) {
        return nullptr;
    }
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
    g_value_class<V> = type.detach();
    return g_value_class<V>;
}

template <typename V>
PyObject* to_python(V value) {
    auto* type = reinterpret_cast<PyTypeObject*>(value_class<V>());
    return type == nullptr ? nullptr : new_value(type, std::move(value));
}

// The stub's description: the attributes, __match_args__, and the methods Python sees, equality
// by value among them.
template <typename V>
ClassStub<ValueClass<V>> value_stub(bool exported, std::vector<stub::Method> methods = {}) {
    stub::Class described{class_name<ValueClass<V>>, "", ValueClass<V>::kClassName,
                          ValueClass<V>::kDoc == nullptr ? "" : ValueClass<V>::kDoc};
    described.exported = exported;
    std::string names;
    each_field<V>([&](const auto& field) {
        using T = typename std::remove_cvref_t<decltype(field)>::Type;
        described.getters.push_back(
            {field.name, Caster<T>::type(), field.doc == nullptr ? "" : field.doc});
        names += std::string(names.empty() ? "" : ", ") + "\"" + field.name + "\"";
    });
    described.attributes = {{"__match_args__", " = (" + names + ")"}};
    methods.push_back({"__eq__", {{"__value", "builtins.object"}}, "builtins.bool", "", {}});
    return {stub::Registration{std::move(described)},
            stub::Registration{stub::MethodGroup{class_name<ValueClass<V>>, std::move(methods)}}};
}

PyObject* make_torso(PyTypeObject* type, const std::vector<double>& left,
                     const std::vector<double>& right, const std::vector<double>& nose,
                     const std::vector<double>& neck) {
    if (left.size() != 2 || right.size() != 2 || nose.size() != 3 || neck.size() != 3) {
        raise_panic("Each arm must have 2 positions, nose must have 3, neck must have 3.");
        return nullptr;
    }
    TorsoPosition p{.timestamp = control_loop::unix_time_now()};
    std::copy(left.begin(), left.end(), p.left_arm.begin());
    std::copy(right.begin(), right.end(), p.right_arm.begin());
    std::copy(nose.begin(), nose.end(), p.nose.begin());
    std::copy(neck.begin(), neck.end(), p.neck.begin());
    return new_value(type, p);
}

const auto g_torso_stub = value_stub<TorsoPosition>(
    true, {g_torso_constructor.stub, stub::Method{"__repr__", {}, "builtins.str", "", {}}});
const auto g_stats_stub = value_stub<StatsSnapshot>(true);
const auto g_health_stub = value_stub<JointHealth>(false);

}  // namespace

PyObject* torso_position_type() {
    return value_class<TorsoPosition>();
}
PyObject* loop_stats_type() {
    return value_class<StatsSnapshot>();
}
PyObject* joint_health_type() {
    return value_class<JointHealth>();
}

bool Caster<TorsoPosition>::from(PyObject* obj, TorsoPosition& out) {
    PyObject* type = torso_position_type();
    if (type == nullptr) {
        return false;
    }
    if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
        return refuse(obj, "WenloTorsoPosition");
    }
    out = value_of<TorsoPosition>(obj);
    return true;
}

PyObject* Caster<TorsoPosition>::to(const TorsoPosition& value) {
    return to_python(value);
}

PyObject* Caster<StatsSnapshot>::to(StatsSnapshot value) {
    return to_python(std::move(value));
}

PyObject* Caster<JointHealth>::to(const JointHealth& value) {
    return to_python(value);
}

}  // namespace wenlo::py
