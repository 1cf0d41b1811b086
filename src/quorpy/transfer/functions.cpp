// The table of the ten module functions: name, parameters and body of each, in binding
// order. A failing call's traceback entry points at the function's row here.
#include "transfer/functions.hpp"

#include "frame/methods.hpp"

namespace quorpy {
namespace {

constexpr Param fn{Str::fn, Conv::U64};
constexpr Param inst{Str::inst, Conv::U64};
constexpr Param h{Str::h, Conv::U64};

#define QUORPY_FUNCTION(name, ...) {#name, {QUORPY_MODULE "." #name, __FILE__, __LINE__}, name, __VA_ARGS__}

// Constant, so that each function's signature is spelled out from it at compile time.
constexpr Function rows[] = {
    QUORPY_FUNCTION(read_vertices, 4, {fn, inst, h, {Str::n, Conv::Int}}),
    QUORPY_FUNCTION(read_triangles, 4, {fn, inst, h, {Str::n, Conv::Int}}),
    QUORPY_FUNCTION(add_vertices, 4, {fn, inst, h, {Str::verts, Conv::FloatRows}}),
    QUORPY_FUNCTION(add_triangles, 4, {fn, inst, h, {Str::tris, Conv::IntRows}}),
    QUORPY_FUNCTION(scalar_set_many, 5, {fn, inst, h, {Str::pos, Conv::FloatRows}, {Str::vals, Conv::FloatValues}}),
    QUORPY_FUNCTION(scalar_get_many, 4, {fn, inst, h, {Str::pos, Conv::FloatRows}}),
    QUORPY_FUNCTION(vector_set_many, 5, {fn, inst, h, {Str::pos, Conv::FloatRows}, {Str::vals, Conv::FloatRows}}),
    QUORPY_FUNCTION(vector_get_many, 4, {fn, inst, h, {Str::pos, Conv::FloatRows}}),
    QUORPY_FUNCTION(scalar_active_values, 3, {fn, inst, h}),
    QUORPY_FUNCTION(vector_active_values, 3, {fn, inst, h}),
};
#undef QUORPY_FUNCTION

}  // namespace

constinit const FunctionTable functions = Methods<rows>::table();

}  // namespace quorpy
