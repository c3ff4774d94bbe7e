// What a native function of this package is made of, and how an extension
// module is made of such functions. Any extension module of the package uses
// this; the functions themselves live elsewhere (core_functions.cpp for _core).
//
// One record per function:
//
//     struct ScaleArgs {                  // one member per parameter, at its default
//         PyObject* x = nullptr;          // as given: the body takes the array in
//         bool zero_center = true;        // converted before the body runs
//     };
//     // the body: a new reference, or empty with an error set
//     Ref scale(const ScaleArgs& args, const Compute& compute);
//     constexpr Function SCALE{"scale",
//                              Signature{positional("x", &ScaleArgs::x),
//                                        keyword_only("zero_center", &ScaleArgs::zero_center)},
//                              "scale(x, *, zero_center=True)\n--\n\n...", scale,
//                              RELEASES_LOCK};
//
// A call binds its arguments to the signature's slots, converts the given ones
// in signature order into the members (absent ones keep their defaults), then
// runs the body. function_table<SCALE, ...>() makes the module's table, and
// create_module() the module, whose __all__ follows the table.
//
// The interpreter lock. A body takes its arrays in and wraps its results
// holding the lock, and runs its kernel through `compute`, which holds or
// releases the lock as the record declares. The rule every record follows:
// release it whenever the call reads only arrays it holds references to (the
// intake's views) and its work is more than trivial; a record that keeps it
// says why (keeps_lock("...")). Releasing lets other Python threads run
// beside a long pass, which is what a Dask worker's threads need; taking the
// lock back can mean waiting for another thread's turn, which a call of a
// few microseconds should not pay.
//
// What a call without the lock may trust. The arrays it reads are the
// caller's, and another thread may write them while the kernel runs: a value
// checked in one pass may be another by the next. So a call that releases the
// lock never uses a value read from caller-owned memory for addressing (a
// stored column or row index, a row pointer, a group code) unless it checks
// that value where it uses it -- one load, one compare, then the use -- or it
// works on its own copy taken while it held the lock. The indices go through
// the checked walk of core/terms.hpp (for_each_entry, checked_index), the one
// place an address comes from them; indptr, masks and the group codes are
// copied (the intake, group_rows), and a range taken from the copy is checked
// against the length of the indices before it is walked. A value that fails
// raises what a bad entry raises (the index-out-of-bounds message, or
// DuplicateEntry); it may differ from what the first pass found only when the
// caller changed the data during the call.
//
// Parameters that several functions share are members of one record, which
// their Args derive from, and one fragment of signature (a std::tuple of its
// parameters); signature<ScaleArgs>(positional(...), FRAGMENT, ...) takes the
// fragment in their place, so that its names and order are written once.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/args.hpp"
#include "python/lock.hpp"
#include "python/ref.hpp"
#include "runtime/fp_env.hpp"

namespace brenix {

template <class Args, class T>
struct Parameter {
    const char* name;
    T Args::* member;
    bool keyword_only;
};

template <class Args, class T>
constexpr Parameter<Args, T> positional(const char* name, T Args::* member) {
    return {name, member, false};
}

template <class Args, class T>
constexpr Parameter<Args, T> keyword_only(const char* name, T Args::* member) {
    return {name, member, true};
}

// The parameters of one function, in order, each tied to its member of Args.
// Their number, and so the number of argument slots, is known at compile time.
template <class Arguments, class... Types>
class Signature {
public:
    using Args = Arguments;
    static constexpr std::size_t size = sizeof...(Types);

    constexpr explicit Signature(Parameter<Args, Types>... parameters)
        : names_{parameters.name...},
          keyword_only_{parameters.keyword_only...},
          members_{parameters.member...} {}

    constexpr std::size_t n_positional() const {
        std::size_t n = 0;
        for (bool keyword_only : keyword_only_) n += keyword_only ? 0 : 1;
        return n;
    }

    constexpr ParameterList list(const char* function) const {
        const std::span<const char* const> names = names_;
        return {function, names.first(n_positional()), names.subspan(n_positional())};
    }

    // Converts the given arguments into their members, in signature order.
    bool convert(std::span<PyObject* const, size> slots, Args& out) const {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return ((slots[I] == nullptr ||
                     brenix::convert(slots[I], names_[I], out.*std::get<I>(members_))) &&
                    ...);
        }(std::index_sequence_for<Types...>{});
    }

    // Whether the docstring begins with the text signature Python shows for
    // this function, "name(a, b, *, c=..., d=...)\n--\n\n": the same names in
    // the same order, the positional ones first and without defaults, the
    // keyword-only ones after the "*" and with one.
    constexpr bool matches(std::string_view name, std::string_view doc) const {
        if (!doc.starts_with(name) || !doc.substr(name.size()).starts_with("(")) return false;
        std::string_view rest = doc.substr(name.size() + 1);
        const std::size_t end = rest.find(")\n--\n\n");
        if (end == std::string_view::npos) return false;
        rest = rest.substr(0, end);
        std::size_t i = 0;
        bool after_star = false;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(", ");
            const std::string_view item = rest.substr(0, comma);
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 2);
            if (item == "*") {
                if (after_star || i != n_positional()) return false;
                after_star = true;
                continue;
            }
            const std::size_t equals = item.find('=');
            if (i == size || item.substr(0, equals) != names_[i] ||
                keyword_only_[i] != after_star ||
                keyword_only_[i] != (equals != std::string_view::npos)) {
                return false;
            }
            ++i;
        }
        return i == size;
    }

private:
    std::array<const char*, size> names_;
    std::array<bool, size> keyword_only_;
    std::tuple<Types Args::*...> members_;
};

// A parameter of a record that Args derives from, as one of Args.
template <class Args, class Record, class T>
constexpr std::tuple<Parameter<Args, T>> rebound(Parameter<Record, T> parameter) {
    static_assert(std::is_base_of_v<Record, Args>, "a parameter's record must be Args or its base");
    return {{parameter.name, parameter.member, parameter.keyword_only}};
}

template <class Args, class... Parameters>
constexpr auto rebound(std::tuple<Parameters...> fragment) {
    return std::apply(
        [](auto... parameters) { return std::tuple_cat(rebound<Args>(parameters)...); }, fragment);
}

// The signature of a function taking Args, from its parameters and fragments
// (tuples of parameters), in order.
template <class Args, class... Parts>
constexpr auto signature(Parts... parts) {
    return std::apply([](auto... parameters) { return Signature{parameters...}; },
                      std::tuple_cat(rebound<Args>(parts)...));
}

// One Python function: its name, signature, docstring (beginning with its text
// signature), body, and whether its calls release the interpreter lock.
template <class Sig>
struct Function {
    using Args = typename Sig::Args;

    const char* name;
    Sig signature;
    const char* doc;
    Ref (*body)(const Args&, const Compute&);
    LockUse lock;

    Ref operator()(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        std::array<PyObject*, Sig::size> slots{};
        Args bound{};
        // Qualified: with libc++, argument-dependent lookup through std::array
        // would also find std::bind.
        if (!brenix::bind(signature.list(name), args, nargs, kwnames, slots) ||
            !signature.convert(slots, bound)) {
            return {};
        }
        return body(bound, Compute{lock});
    }
};

template <class Sig>
Function(const char*, Sig, const char*, Ref (*)(const typename Sig::Args&, const Compute&), LockUse)
    -> Function<Sig>;

// The Python exception for the C++ exception being handled, in a function of
// `module`. Call only in a catch block.
void raise_from_current_exception(PyObject* module) noexcept;

// Null with an error set: the body's own Python error, or one that says it
// forgot to set it.
PyObject* released_result(Ref result) noexcept;

// The call wrapper: no C++ exception crosses into the interpreter.
template <const auto& Record>
PyObject* call(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    // The combining and finishing steps run here, on the caller's thread.
    DefaultFloatingPoint defaults;
    try {
        return released_result(Record(args, nargs, kwnames));
    } catch (...) {
        raise_from_current_exception(module);
        return nullptr;
    }
}

template <const auto& Record>
PyMethodDef method_def() {
    static_assert(Record.signature.matches(Record.name, Record.doc),
                  "the docstring's text signature must list the record's parameters");
    static_assert(
        Record.lock.releases || (Record.lock.why_kept != nullptr && *Record.lock.why_kept != '\0'),
        "a record that keeps the interpreter lock must say why");
    return {Record.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call<Record>)),
            METH_FASTCALL | METH_KEYWORDS, Record.doc};
}

// A module's functions, in the order of its __all__. The interpreter keeps
// pointing at these entries: they live as long as the process.
template <const auto&... Records>
std::span<PyMethodDef> function_table() {
    static PyMethodDef table[] = {method_def<Records>()...};
    return table;
}

struct ModuleDescription {
    const char* name;  // as imported, "brenix_kernels._core"
    const char* doc;
    std::span<PyMethodDef> functions;
    // Whether an internal failure's report (thread, source location, message)
    // goes to standard error when a call raises it: _core documents that it
    // does. The package's private modules only raise: the public functions
    // over them turn the failure into their own exception, and a report naming
    // a source file of the build would only confuse their callers.
    bool reports_failures = false;
};

// A module of this extension file (at most three per file), for its PyInit
// function. Made once per process, in the first interpreter that imports one
// of the file's modules; internal failures in its functions raise
// "{name}.PanicException".
PyObject* create_module(const ModuleDescription& module_description);

}  // namespace brenix
