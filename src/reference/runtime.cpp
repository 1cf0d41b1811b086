// Reference mesh/field runtime: a small in-process stand-in for the native runtime
// that quorpy's transfer functions drive. It is loaded through ctypes (see
// quorpy/reference.py) and offers one per-element entry point of each native type,
// with exactly the C signatures of quorpy/native.h.
//
// Model
//   * An instance owns objects: meshes, scalar fields and vector fields. Instance
//     and object handles come from one process-wide counter starting at 1, so 0 is
//     never a handle and a handle of one kind is never valid as another.
//   * A mesh is a list of vertices (three float) and a list of triangles (three
//     int32). Indices are positions in those lists.
//   * A field is a sparse map from a position (three float, keyed by their exact
//     bit patterns: -0.0 and 0.0 differ, NaN positions work) to one float (scalar)
//     or three floats (vector). Values keep their insertion order; setting an
//     existing position overwrites the value in place.
//
// Errors: there is no error channel. A bad instance or object handle, an object of
// the wrong kind, an index out of range or a null pointer makes the call a no-op
// (samplers return 0, adders and counts return -1), except that whatever a getter or
// sampler is given to write is always written: where there is no element (an index
// out of range, a bad handle) a vertex of NaN, a triangle of -1, and where there is no
// value a NaN for each float. So no caller's memory is left as it was by chance.
//
// Threads: any entry point may be called from any thread at the same time as any
// other. The registry of instances and objects has one reader/writer lock, held only
// to create, destroy or look up an object on a miss of the calling thread's lookup
// cache (below). Each object has its own reader/writer lock: getters, samplers and
// traversal reads take it shared, adders and setters exclusive. Traversals never hold
// a lock while they call back, so a callback may itself call into the runtime.
//
// Lookup cache: calls on different objects must not write to any shared cache line,
// or two threads each working on their own mesh slow each other down. So each thread
// keeps its last few {instance, handle} -> object lookups, together with the shared
// owner of each object, under one generation number. A global generation counter is
// bumped, under the registry lock, whenever an object or an instance is destroyed;
// a per-element call only loads it and uses a cached object if the generation is
// still the one the cache was filled under. So a handle destroyed before a call
// begins is never found, by any thread, while an object destroyed during a call stays
// alive (through the cached owner) until that call returns. Objects live on cache
// lines of their own. A destroyed object's memory may be kept by the cache of a
// thread that used it until that thread next calls into the runtime or exits.

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "../quorpy/platform.h"
#include "quorpy/native.h"

#define QLREF_API extern "C" QUORPY_EXPORT

namespace {

enum class Kind { Mesh, ScalarField, VectorField };

// Two 64-byte lines: x86 cores also fetch the neighbour of a line they miss.
constexpr std::size_t kLine = 128;

// Aligned so that no two objects share a cache line: the lock of one is written by
// every call on it, and must not evict anything another thread reads.
struct alignas(kLine) Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
    mutable std::shared_mutex mu;
};

// What a getter or sampler writes where there is no element or value: NaN for a
// float, -1 for a vertex index.
template <class Out>
void write_missing(Out* out, int count) {
    constexpr Out missing = std::is_same_v<Out, float> ? std::numeric_limits<float>::quiet_NaN() : Out(-1);
    std::fill_n(out, count, missing);
}

struct Mesh : Object {
    static constexpr Kind kKind = Kind::Mesh;
    Mesh() : Object(kKind) {}
    std::vector<std::array<float, 3>> vertices;
    std::vector<std::array<std::int32_t, 3>> triangles;
};

// A position as the three raw bit patterns of its floats.
struct Key {
    std::uint32_t b[3];
    bool operator==(const Key& o) const { return b[0] == o.b[0] && b[1] == o.b[1] && b[2] == o.b[2]; }
};

struct KeyHash {
    std::size_t operator()(const Key& k) const noexcept {
        std::uint64_t h = (std::uint64_t{k.b[0]} << 32 | k.b[1]) * 0x9E3779B97F4A7C15ull;
        h ^= (h >> 29) ^ (std::uint64_t{k.b[2]} * 0xC2B2AE3D27D4EB4Full);
        return static_cast<std::size_t>(h ^ (h >> 32));
    }
};

inline Key key_of(const float* pos) {
    Key k;
    std::memcpy(k.b, pos, sizeof k.b);
    return k;
}

// N is the number of floats in one value: 1 for scalar fields, 3 for vector fields.
template <int N>
struct Field : Object {
    static constexpr Kind kKind = N == 1 ? Kind::ScalarField : Kind::VectorField;
    static constexpr int kWidth = N;
    Field() : Object(kKind) {}

    struct Entry {
        float pos[3];
        float val[N];
    };
    std::vector<Entry> entries;                          // insertion order
    std::unordered_map<Key, std::size_t, KeyHash> slot;  // position -> index in entries

    void set(const float* pos, const float* val) {
        std::unique_lock lock(mu);
        auto [it, fresh] = slot.try_emplace(key_of(pos), entries.size());
        if (fresh) {
            Entry& e = entries.emplace_back();
            std::memcpy(e.pos, pos, sizeof e.pos);
            std::memcpy(e.val, val, sizeof e.val);
        } else {
            std::memcpy(entries[it->second].val, val, sizeof(float) * N);
        }
    }

    unsigned char sample(const float* pos, float* out) const {
        std::shared_lock lock(mu);
        auto it = slot.find(key_of(pos));
        if (it == slot.end()) return 0;
        std::memcpy(out, entries[it->second].val, sizeof(float) * N);
        return 1;
    }

    // Reports the values stored when the traversal starts, in insertion order. The
    // entries are copied out a chunk at a time under the shared lock; the callback
    // runs unlocked and always receives the addresses of the same two small arrays.
    template <class Emit>
    void traverse(Emit emit) const {
        constexpr std::size_t kChunk = 256;
        Entry chunk[kChunk];
        float pc[3];
        float pv[N];
        std::size_t total;
        {
            std::shared_lock lock(mu);
            total = entries.size();
        }
        for (std::size_t next = 0; next < total;) {
            std::size_t n;
            {
                std::shared_lock lock(mu);
                n = std::min(kChunk, total - next);
                std::copy_n(entries.begin() + static_cast<std::ptrdiff_t>(next), n, chunk);
            }
            for (std::size_t i = 0; i < n; ++i) {
                std::memcpy(pc, chunk[i].pos, sizeof pc);
                std::memcpy(pv, chunk[i].val, sizeof pv);
                emit(pc, pv);
            }
            next += n;
        }
    }
};

using ScalarField = Field<1>;
using VectorField = Field<3>;

struct Instance {
    std::unordered_map<QLu64, std::shared_ptr<Object>> objects;
};

// Bumped under the registry's exclusive lock by every destruction of an object or an
// instance; loaded, never written, by per-element calls. It starts at 1, so a thread
// cache that has never been filled (generation 0) never matches. A line of its own
// keeps it in every core's cache between destructions.
struct alignas(kLine) Generation {
    std::atomic<QLu64> value{1};
};
constinit Generation generation;

struct Registry {
    std::shared_mutex mu;
    std::unordered_map<QLu64, Instance> instances;
    std::atomic<QLu64> next_handle{1};

    QLu64 new_handle() { return next_handle.fetch_add(1, std::memory_order_relaxed); }

    // Call with `mu` held (shared or exclusive).
    std::shared_ptr<Object> find_locked(QLu64 inst, QLu64 h) const {
        auto i = instances.find(inst);
        if (i == instances.end()) return nullptr;
        auto o = i->second.objects.find(h);
        return o == i->second.objects.end() ? nullptr : o->second;
    }

    // The object `h` of instance `inst` if it exists and is a T, else null.
    template <class T>
    std::shared_ptr<T> find_shared(QLu64 inst, QLu64 h) {
        std::shared_ptr<Object> o;
        {
            std::shared_lock lock(mu);
            o = find_locked(inst, h);
        }
        if (!o || o->kind != T::kKind) return nullptr;
        return std::static_pointer_cast<T>(std::move(o));
    }

    template <class T>
    QLu64 create(QLu64 inst) {
        auto obj = std::make_shared<T>();  // allocate before taking the lock
        std::unique_lock lock(mu);
        auto i = instances.find(inst);
        if (i == instances.end()) return 0;
        QLu64 h = new_handle();
        i->second.objects.emplace(h, std::move(obj));
        return h;
    }

    // Call with `mu` held exclusively, after removing an object or an instance.
    static void destroyed() { generation.value.fetch_add(1, std::memory_order_release); }
};

// Never destroyed: threads may still be calling in while the process exits.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

// ---- the per-thread lookup cache ------------------------------------------------

constexpr int kWays = 4;

// What the fast path reads: trivially constructed and destroyed, so that it needs no
// guard. The objects are owned by the same slots of the thread's Keeper. Initial-exec
// TLS (as the extension module uses) spares every call a __tls_get_addr call; the
// library's thread-local data is under 200 bytes of the static TLS surplus.
struct HotCache {
    QLu64 gen;  // the generation every entry was found under
    struct {
        QLu64 inst, h;
        Object* obj;  // null: empty slot
    } e[kWays];
    unsigned next;  // slot to fill next
    bool closed;    // the thread is exiting and its Keeper is gone: cache nothing more
};
constinit thread_local HotCache hot [[gnu::tls_model("initial-exec")]]{};

struct Keeper {
    std::shared_ptr<Object> own[kWays];
    ~Keeper() {
        hot = HotCache{};
        hot.closed = true;
    }
};
thread_local Keeper keeper;

// The miss path: look the handle up under the registry lock and cache what it finds.
// If nothing can be cached, `hold` keeps the object alive for the caller instead.
[[gnu::noinline]] Object* lookup_slow(QLu64 inst, QLu64 h, std::shared_ptr<Object>& hold) {
    std::shared_ptr<Object> obj;
    QLu64 gen;
    {
        Registry& r = registry();
        std::shared_lock lock(r.mu);
        gen = generation.value.load(std::memory_order_relaxed);  // written only under `mu`
        obj = r.find_locked(inst, h);
    }
    if (!obj) return nullptr;
    Object* p = obj.get();
    HotCache& c = hot;
    if (c.closed) {
        hold = std::move(obj);
        return p;
    }
    Keeper& k = keeper;
    std::shared_ptr<Object> released[kWays];  // let go of once the cache is consistent
    if (c.gen != gen) {
        for (int i = 0; i < kWays; ++i) {
            released[i] = std::move(k.own[i]);
            c.e[i] = {};
        }
        c.gen = gen;
        c.next = 0;
    }
    unsigned s = c.next++ % kWays;
    released[s] = std::move(k.own[s]);
    k.own[s] = std::move(obj);
    c.e[s] = {inst, h, p};
    return p;
}

// The object `h` of instance `inst`, or null. Valid until the calling thread next looks
// anything up, so callers must not call back into the runtime while they use it. A hit
// writes nothing: one load of the generation, then the thread's own cache.
inline Object* lookup(QLu64 inst, QLu64 h, std::shared_ptr<Object>& hold) {
    const QLu64 gen = generation.value.load(std::memory_order_acquire);
    HotCache& c = hot;
    if (c.gen == gen) {
        for (const auto& e : c.e)
            if (e.h == h && e.inst == inst && e.obj) return e.obj;
    }
    return lookup_slow(inst, h, hold);
}

// The object `h` of instance `inst` if it is a T, for the length of one call that does
// not call back into the runtime.
template <class T>
class Use {
public:
    Use(QLu64 inst, QLu64 h) {
        Object* o = lookup(inst, h, hold_);
        p_ = o && o->kind == T::kKind ? static_cast<T*>(o) : nullptr;
    }
    explicit operator bool() const { return p_ != nullptr; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }

private:
    std::shared_ptr<Object> hold_;  // set only when the thread could not cache the object
    T* p_;
};

// Index getters shared by vertices and triangles: false if there is no such element.
template <class Elem, class Out>
bool get_element(const std::vector<Elem>& from, const Mesh& m, int index, Out* out) {
    std::shared_lock lock(m.mu);
    if (index < 0 || static_cast<std::size_t>(index) >= from.size()) return false;
    std::memcpy(out, from[static_cast<std::size_t>(index)].data(), sizeof(Elem));
    return true;
}

template <class Elem, class In>
int add_element(std::vector<Elem>& to, Mesh& m, const In* in) {
    std::unique_lock lock(m.mu);
    if (to.size() >= static_cast<std::size_t>(INT_MAX)) return -1;
    std::memcpy(to.emplace_back().data(), in, sizeof(Elem));
    return static_cast<int>(to.size() - 1);
}

}  // namespace

// ---- instances and objects ------------------------------------------------------

QLREF_API QLu64 qlref_instance_create(void) {
    Registry& r = registry();
    std::unique_lock lock(r.mu);
    QLu64 inst = r.new_handle();
    r.instances.emplace(inst, Instance{});
    return inst;
}

QLREF_API void qlref_instance_destroy(QLu64 inst) {
    Instance doomed;  // objects are released after the registry lock is dropped
    {
        Registry& r = registry();
        std::unique_lock lock(r.mu);
        auto i = r.instances.find(inst);
        if (i == r.instances.end()) return;
        doomed = std::move(i->second);
        r.instances.erase(i);
        Registry::destroyed();
    }
}

QLREF_API QLu64 qlref_mesh_create(QLu64 inst) { return registry().create<Mesh>(inst); }
QLREF_API QLu64 qlref_scalar_field_create(QLu64 inst) { return registry().create<ScalarField>(inst); }
QLREF_API QLu64 qlref_vector_field_create(QLu64 inst) { return registry().create<VectorField>(inst); }

QLREF_API int qlref_object_destroy(QLu64 inst, QLu64 h) {
    std::shared_ptr<Object> doomed;
    {
        Registry& r = registry();
        std::unique_lock lock(r.mu);
        auto i = r.instances.find(inst);
        if (i == r.instances.end()) return -1;
        auto o = i->second.objects.find(h);
        if (o == i->second.objects.end()) return -1;
        doomed = std::move(o->second);
        i->second.objects.erase(o);
        Registry::destroyed();
    }
    return 0;
}

QLREF_API int qlref_mesh_vertex_count(QLu64 inst, QLu64 h) {
    Use<Mesh> m(inst, h);
    if (!m) return -1;
    std::shared_lock lock(m->mu);
    return static_cast<int>(m->vertices.size());
}

QLREF_API int qlref_mesh_triangle_count(QLu64 inst, QLu64 h) {
    Use<Mesh> m(inst, h);
    if (!m) return -1;
    std::shared_lock lock(m->mu);
    return static_cast<int>(m->triangles.size());
}

QLREF_API std::int64_t qlref_field_count(QLu64 inst, QLu64 h) {
    if (Use<ScalarField> f(inst, h); f) {
        std::shared_lock lock(f->mu);
        return static_cast<std::int64_t>(f->entries.size());
    }
    if (Use<VectorField> f(inst, h); f) {
        std::shared_lock lock(f->mu);
        return static_cast<std::int64_t>(f->entries.size());
    }
    return -1;
}

// ---- per-element entry points (native.h types in brackets) ---------------------

// [QLgetvec_t]
QLREF_API void qlref_mesh_get_vertex(QLu64 inst, QLu64 h, int index, float* out) {
    Use<Mesh> m(inst, h);
    if (out && !(m && get_element(m->vertices, *m, index, out))) write_missing(out, 3);
}

// [QLgettri_t]
QLREF_API void qlref_mesh_get_triangle(QLu64 inst, QLu64 h, int index, std::int32_t* out) {
    Use<Mesh> m(inst, h);
    if (out && !(m && get_element(m->triangles, *m, index, out))) write_missing(out, 3);
}

// [QLaddvec_t] Returns the new vertex's index, or -1.
QLREF_API int qlref_mesh_add_vertex(QLu64 inst, QLu64 h, const float* v) {
    Use<Mesh> m(inst, h);
    return m && v ? add_element(m->vertices, *m, v) : -1;
}

// [QLaddtri_t] Returns the new triangle's index, or -1. Vertex indices are stored as
// given; they are not checked against the vertex list.
QLREF_API int qlref_mesh_add_triangle(QLu64 inst, QLu64 h, const std::int32_t* t) {
    Use<Mesh> m(inst, h);
    return m && t ? add_element(m->triangles, *m, t) : -1;
}

// [QLsetscl_t]
QLREF_API void qlref_scalar_set(QLu64 inst, QLu64 h, const float* pos, float value) {
    Use<ScalarField> f(inst, h);
    if (f && pos) f->set(pos, &value);
}

// Samplers shared by both kinds of field: 1 with the value written, or 0 with NaN
// written in its place.
template <class F>
unsigned char sample(const Use<F>& f, const float* pos, float* value) {
    if (!value) return 0;
    if (f && pos && f->sample(pos, value)) return 1;
    write_missing(value, F::kWidth);
    return 0;
}

// [QLgetscl_t]
QLREF_API unsigned char qlref_scalar_sample(QLu64 inst, QLu64 h, const float* pos, float* value) {
    return sample(Use<ScalarField>(inst, h), pos, value);
}

// [QLsetvec_t]
QLREF_API void qlref_vector_set(QLu64 inst, QLu64 h, const float* pos, const float* value) {
    Use<VectorField> f(inst, h);
    if (f && pos && value) f->set(pos, value);
}

// [QLgetvecf_t]
QLREF_API unsigned char qlref_vector_sample(QLu64 inst, QLu64 h, const float* pos, float* value) {
    return sample(Use<VectorField>(inst, h), pos, value);
}

// Traversals call back, and a callback may destroy the object or look others up, so
// they own the object for their whole length instead of borrowing it from the cache.

// [QLtraverse_s_t]
QLREF_API void qlref_scalar_traverse(QLu64 inst, QLu64 h, QLtravs_cb_t cb) {
    auto f = registry().find_shared<ScalarField>(inst, h);
    if (f && cb) f->traverse([cb](const float* pc, const float* pv) { cb(pc, *pv); });
}

// [QLtraverse_v_t]
QLREF_API void qlref_vector_traverse(QLu64 inst, QLu64 h, QLtravv_cb_t cb) {
    auto f = registry().find_shared<VectorField>(inst, h);
    if (f && cb) f->traverse(cb);
}

// The entry points must keep the exact shapes the transfer functions call.
static_assert(std::is_same_v<decltype(&qlref_mesh_get_vertex), QLgetvec_t>);
static_assert(std::is_same_v<decltype(&qlref_mesh_get_triangle), QLgettri_t>);
static_assert(std::is_same_v<decltype(&qlref_mesh_add_vertex), QLaddvec_t>);
static_assert(std::is_same_v<decltype(&qlref_mesh_add_triangle), QLaddtri_t>);
static_assert(std::is_same_v<decltype(&qlref_scalar_set), QLsetscl_t>);
static_assert(std::is_same_v<decltype(&qlref_scalar_sample), QLgetscl_t>);
static_assert(std::is_same_v<decltype(&qlref_vector_set), QLsetvec_t>);
static_assert(std::is_same_v<decltype(&qlref_vector_sample), QLgetvecf_t>);
static_assert(std::is_same_v<decltype(&qlref_scalar_traverse), QLtraverse_s_t>);
static_assert(std::is_same_v<decltype(&qlref_vector_traverse), QLtraverse_v_t>);
