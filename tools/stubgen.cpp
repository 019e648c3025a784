// Writes the module's type stub from the interface description that the bindings register at
// load time. Run at build time; the result is installed as the stub-only package
// wenlo_motor_controller-stubs, and a copy is kept in the repository for people to read.
#include "bindings/stub_registry.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace wenlo::py::stub;

struct Described {
    const Class* info = nullptr;
    const MethodGroup* methods = nullptr;
};

void docstring(std::ostream& out, const std::string& doc, const char* indent) {
    out << indent << "r\"\"\"\n";
    std::istringstream lines(doc);
    for (std::string line; std::getline(lines, line);) {
        out << (line.empty() ? "" : indent) << line << "\n";
    }
    out << indent << "\"\"\"\n";
}

void method(std::ostream& out, const Method& m) {
    const bool ctor = m.kind == Method::Kind::Constructor;
    out << "    def " << m.name << "(" << (ctor ? "cls" : "self");
    bool keyword_only = false;
    for (const Parameter& p : m.parameters) {
        if (p.keyword_only && !keyword_only) {
            out << ", *";
            keyword_only = true;
        }
        out << ", " << p.name << ": " << p.annotation;
        if (p.default_repr) {
            out << " = " << *p.default_repr;
        }
    }
    out << ") -> " << m.returns << ":";
    if (m.doc.empty()) {
        out << " ...\n";
        return;
    }
    out << "\n";
    docstring(out, m.doc, "        ");
}

void attribute(std::ostream& out, const Member& m) {
    out << "    @property\n    def " << m.name << "(self) -> " << m.annotation << ":";
    if (m.doc.empty()) {
        out << " ...\n";
        return;
    }
    out << "\n";
    docstring(out, m.doc, "        ");
}

std::string render() {
    // Joined by type identity; classes in name order so that every build writes the same file.
    std::map<std::string, Described> classes;
    for (const Entry* e = entries(); e != nullptr; e = e->next) {
        if (const auto* c = std::get_if<Class>(&e->item)) {
            classes[c->type_id()].info = c;
        } else {
            const auto& g = std::get<MethodGroup>(e->item);
            classes[g.type_id()].methods = &g;
        }
    }
    std::vector<const Described*> ordered;
    for (const auto& [id, d] : classes) {
        if (d.info != nullptr) {
            ordered.push_back(&d);
        }
    }
    std::sort(ordered.begin(), ordered.end(),
              [](const Described* a, const Described* b) { return a->info->name < b->info->name; });

    std::ostringstream out;
    out << "# Type stubs of wenlo_motor_controller, written by the build from the interface\n"
           "# description the module carries (tools/stubgen). Do not edit: change the bindings.\n"
           "\n"
           "import builtins\n"
           "import datetime\n"
           "import typing\n"
           "\n"
           "__version__: builtins.str\n"
           "__all__ = [\n";
    for (const Described* d : ordered) {
        if (d->info->exported) {
            out << "    \"" << d->info->name << "\",\n";
        }
    }
    out << "]\n";
    for (const Described* d : ordered) {
        // None of the classes can be subclassed at run time.
        out << "\n@typing.final\nclass " << d->info->name << ":\n";
        if (!d->info->doc.empty()) {
            docstring(out, d->info->doc, "    ");
        }
        bool empty = true;
        for (const Attribute& a : d->info->attributes) {
            out << "    " << a.name << a.declaration << "\n";
            empty = false;
        }
        for (const Member& m : d->info->getters) {
            attribute(out, m);
            empty = false;
        }
        if (d->methods != nullptr) {
            for (const Method& m : d->methods->methods) {
                method(out, m);
                empty = false;
            }
        }
        if (empty) {
            out << "    ...\n";
        }
    }
    return out.str();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string text = render();
    if (argc < 2) {
        std::cout << text;
        return 0;
    }
    std::ofstream file(argv[1], std::ios::binary);
    file << text;
    file.close();
    if (!file) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
