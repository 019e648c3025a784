// The description of the module's Python interface for type stubs: classes with their
// attributes, and method groups with parameters, annotations, defaults and docstrings. Entries
// are added at load time, before Python initialises the module, and never removed; a
// generator (tools/stubgen) reads them and writes the .pyi. The bindings fill them from the
// same declarations that build their method tables, so the two cannot drift apart.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace wenlo::py::stub {

struct Parameter {
    std::string name;
    std::string annotation;
    std::optional<std::string> default_repr = {};  // the default's Python representation
    bool keyword_only = false;                     // after the `*` of the signature
};

struct Method {
    enum class Kind { Instance, Constructor };
    std::string name;
    std::vector<Parameter> parameters;  // all positional-or-keyword
    std::string returns;
    std::string doc;
    Kind kind = Kind::Instance;
};

struct Member {
    std::string name;
    std::string annotation;
    std::string doc;
};

// A class attribute, written as its name and what follows it: " = (...)" or ": T".
struct Attribute {
    std::string name;
    std::string declaration;
};

struct Class {
    std::string (*type_id)();  // joins a class with its method group
    std::string module;        // empty: the module the stub is generated for
    std::string name;
    std::string doc;
    std::vector<Member> getters = {};
    std::vector<Member> setters = {};
    std::vector<Attribute> attributes = {};
    bool exported = true;  // named in __all__
};

struct MethodGroup {
    std::string (*type_id)();
    std::vector<Method> methods;  // in definition order
};

struct Entry {
    std::variant<Class, MethodGroup> item;
    const Entry* next = nullptr;
};

// The first entry; each links to the next.
const Entry* entries();

// A load-time constructor: `static const Registration r{...};` adds one entry for good.
class Registration {
  public:
    explicit Registration(std::variant<Class, MethodGroup> item);
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

  private:
    Entry entry_;
};

}  // namespace wenlo::py::stub
