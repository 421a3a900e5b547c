#include "borrow_registry.hpp"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "api.hpp"
#include "binding/runtime/boundary.hpp"
#include "borrow_table.hpp"
#include "compat_texts.hpp"

namespace vantor::binding {

namespace {

namespace abi = numpy_abi;

// The registry's own lock. Every operation runs with the interpreter lock held, so it is
// never contended in practice; a flag costs a fraction of a mutex on every call.
class RegistryLock {
  public:
    void lock() {
        while (held_.exchange(true, std::memory_order_acquire))
            std::this_thread::yield();
    }
    void unlock() { held_.store(false, std::memory_order_release); }

  private:
    std::atomic<bool> held_{false};
};

// Our state behind `flags`. It keeps what it needs of NumPy, so that the operations never
// depend on our own lazily built access.
struct RegistryState {
    PyTypeObject* array_type;
    bool numpy2_layout;
    RegistryLock lock;
    BorrowTable table;
};

// The record we create: the shared fields, then the capsule's name, which must live as
// long as the capsule.
struct OwnedRecord {
    BorrowApi api;
    char name[sizeof compat::BORROW_CAPSULE_NAME];
};

struct Located {
    uintptr_t base;
    BorrowKey key;
};

bool is_array(const RegistryState& state, PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    return type == state.array_type || PyType_IsSubtype(type, state.array_type) != 0;
}

// The object that owns the memory: down the chain of array bases to the last array, or to
// the first base that is not an array (a bytes object, a memory map, ...).
uintptr_t base_address(const RegistryState& state, PyObject* array) {
    PyObject* current = array;
    for (;;) {
        PyObject* base = abi::as_array(current)->base;
        if (base == nullptr) return reinterpret_cast<uintptr_t>(current);
        if (!is_array(state, base)) return reinterpret_cast<uintptr_t>(base);
        current = base;
    }
}

Located locate(const RegistryState& state, PyObject* array) {
    const abi::ArrayObject* fields = abi::as_array(array);
    const BorrowKey key =
        borrow_key(reinterpret_cast<uintptr_t>(fields->data), fields->nd, fields->dimensions,
                   fields->strides, abi::element_size(fields->descr, state.numpy2_layout));
    return {base_address(state, array), key};
}

// The four operations other extensions call through the record. Nothing may escape them,
// and none of them calls back into Python while holding the lock.
extern "C" {

static int registry_acquire(void* flags, PyObject* array) {
    try {
        auto& state = *static_cast<RegistryState*>(flags);
        const Located at = locate(state, array);
        std::lock_guard<RegistryLock> guard(state.lock);
        return state.table.acquire(at.base, at.key);
    } catch (...) {
        return BORROW_INTERNAL_ERROR;
    }
}

static int registry_acquire_mut(void* flags, PyObject* array) {
    try {
        if ((abi::as_array(array)->flags & abi::ARRAY_WRITEABLE) == 0) {
            return BORROW_NOT_WRITEABLE;
        }
        auto& state = *static_cast<RegistryState*>(flags);
        const Located at = locate(state, array);
        std::lock_guard<RegistryLock> guard(state.lock);
        return state.table.acquire_mut(at.base, at.key);
    } catch (...) {
        return BORROW_INTERNAL_ERROR;
    }
}

static void registry_release(void* flags, PyObject* array) {
    try {
        auto& state = *static_cast<RegistryState*>(flags);
        const Located at = locate(state, array);
        std::lock_guard<RegistryLock> guard(state.lock);
        state.table.release(at.base, at.key);
    } catch (...) {
        // Only the lock can throw here; a release that cannot run leaves the borrow in place.
    }
}

static void registry_release_mut(void* flags, PyObject* array) {
    try {
        auto& state = *static_cast<RegistryState*>(flags);
        const Located at = locate(state, array);
        std::lock_guard<RegistryLock> guard(state.lock);
        state.table.release_mut(at.base, at.key);
    } catch (...) {
    }
}

static void destroy_registry(PyObject* capsule) {
    auto* record =
        static_cast<OwnedRecord*>(PyCapsule_GetPointer(capsule, compat::BORROW_CAPSULE_NAME));
    if (record == nullptr) {
        PyErr_Clear();
        return;
    }
    delete static_cast<RegistryState*>(record->api.flags);
    delete record;
}

}  // extern "C"

// Creates our registry and stores its capsule on `module`; the new capsule reference.
PyRef create_registry(PyObject* module) {
    const NumpyApi& numpy = NumpyApi::get();
    auto state = std::unique_ptr<RegistryState>(
        new RegistryState{numpy.array_type(), numpy.numpy2_layout(), {}, {}});
    auto record = std::make_unique<OwnedRecord>();
    record->api = {1,
                   state.get(),
                   registry_acquire,
                   registry_acquire_mut,
                   registry_release,
                   registry_release_mut};
    std::memcpy(record->name, compat::BORROW_CAPSULE_NAME, sizeof compat::BORROW_CAPSULE_NAME);
    PyRef capsule = checked(PyCapsule_New(record.get(), record->name, destroy_registry));
    // The capsule owns both from here on: dropping it (below, on failure) frees them.
    state.release();
    record.release();
    if (PyObject_SetAttrString(module, compat::BORROW_CAPSULE_NAME, capsule.get()) != 0)
        throw_pending();
    return capsule;
}

struct Registry {
    PyObject* capsule;  // kept for the process, so the record stays valid
    const BorrowApi* api;
    RegistryState* own;  // our state when the record is ours, else null
};

Registry find_or_create() {
    PyRef module = checked(PyImport_ImportModule(NumpyApi::multiarray_name().c_str()));
    PyRef capsule(PyObject_GetAttrString(module.get(), compat::BORROW_CAPSULE_NAME));
    if (capsule) {
        if (!PyCapsule_CheckExact(capsule.get())) {
            throw_conversion_error(capsule.get(), compat::CAPSULE_TARGET);
        }
    } else {
        PyErr_Clear();
        capsule = create_registry(module.get());
    }
    auto* api = static_cast<const BorrowApi*>(
        PyCapsule_GetPointer(capsule.get(), compat::BORROW_CAPSULE_NAME));
    if (api == nullptr) throw_pending();
    if (api->version == 0) {
        throw_error(PyExc_TypeError, compat::UNSUPPORTED_VERSION_HEAD +
                                         std::to_string(api->version) +
                                         compat::UNSUPPORTED_VERSION);
    }
    // A record whose functions are ours is ours: its state can be reached directly.
    RegistryState* own = api->acquire == registry_acquire && api->release == registry_release
                             ? static_cast<RegistryState*>(api->flags)
                             : nullptr;
    return {capsule.release(), api, own};
}

OnceCell<Registry> registry;

const Registry& the_registry() {
    return registry.get_or_init([] {
        try {
            return find_or_create();
        } catch (PyError& error) {
            fail(compat::REGISTRY_ERROR + describe(error), here());
        }
    });
}

}  // namespace

SharedBorrow::SharedBorrow(PyObject* array, LockWhileBorrowed lock) : array_(array) {
    const Registry& found = the_registry();
    int code;
    if (RegistryState* own = found.own) {
        if (lock == LockWhileBorrowed::Kept) {
            // An empty table holds no exclusive borrow, so the acquire would succeed.
            std::lock_guard<RegistryLock> guard(own->lock);
            if (own->table.empty()) return;
        }
        const Located at = locate(*own, array);
        {
            std::lock_guard<RegistryLock> guard(own->lock);
            code = own->table.acquire(at.base, at.key);
        }
        held_ = Held::InOwnTable;
        base_ = at.base;
        key_ = at.key;
    } else {
        code = found.api->acquire(found.api->flags, array);
        held_ = Held::ThroughRecord;
    }
    if (code == BORROW_OK) return;
    if (code == BORROW_CONFLICT) {
        fail(std::string(compat::UNWRAP_FAILED) + compat::ALREADY_BORROWED_ARRAY, here());
    }
    fail(compat::UNEXPECTED_RETURN_CODE + std::to_string(code) + compat::FROM_BORROW_API, here());
}

SharedBorrow::~SharedBorrow() {
    if (held_ == Held::Unrecorded) return;
    // Only recorded once the registry was found.
    const Registry* found = registry.get();
    if (held_ == Held::InOwnTable) {
        std::lock_guard<RegistryLock> guard(found->own->lock);
        found->own->table.release(base_, key_);
    } else {
        found->api->release(found->api->flags, array_);
    }
}

}  // namespace vantor::binding
