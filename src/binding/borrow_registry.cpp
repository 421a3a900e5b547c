#include "borrow_registry.hpp"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "borrow_table.hpp"
#include "boundary.hpp"
#include "numpy_abi.hpp"
#include "numpy_api.hpp"
#include "once.hpp"
#include "type_errors.hpp"

namespace vantor::binding {

namespace {

namespace abi = numpy_abi;

// Our state behind `flags`. It keeps what it needs of NumPy, so that the operations never
// depend on our own lazily built access.
struct RegistryState {
    PyTypeObject* array_type;
    bool numpy2_layout;
    std::mutex lock;
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
        std::lock_guard<std::mutex> guard(state.lock);
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
        std::lock_guard<std::mutex> guard(state.lock);
        return state.table.acquire_mut(at.base, at.key);
    } catch (...) {
        return BORROW_INTERNAL_ERROR;
    }
}

static void registry_release(void* flags, PyObject* array) {
    try {
        auto& state = *static_cast<RegistryState*>(flags);
        const Located at = locate(state, array);
        std::lock_guard<std::mutex> guard(state.lock);
        state.table.release(at.base, at.key);
    } catch (...) {
        // Only the lock can throw here; a release that cannot run leaves the borrow in place.
    }
}

static void registry_release_mut(void* flags, PyObject* array) {
    try {
        auto& state = *static_cast<RegistryState*>(flags);
        const Located at = locate(state, array);
        std::lock_guard<std::mutex> guard(state.lock);
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
    return {capsule.release(), api};
}

OnceCell<Registry> registry;

}  // namespace

const BorrowApi& BorrowRegistry::get() {
    return *registry
                .get_or_init([] {
                    try {
                        return find_or_create();
                    } catch (PyError& error) {
                        fail(compat::REGISTRY_ERROR + describe(error), here());
                    }
                })
                .api;
}

void BorrowRegistry::acquire_shared(PyObject* array) {
    const BorrowApi& api = get();
    const int code = api.acquire(api.flags, array);
    if (code == BORROW_OK) return;
    if (code == BORROW_CONFLICT) {
        fail(std::string(compat::UNWRAP_FAILED) + compat::ALREADY_BORROWED_ARRAY, here());
    }
    fail(compat::UNEXPECTED_RETURN_CODE + std::to_string(code) + compat::FROM_BORROW_API, here());
}

void BorrowRegistry::release_shared(PyObject* array) noexcept {
    // Only called after acquire_shared succeeded, so the record is there.
    const Registry* found = registry.get();
    if (found != nullptr) found->api->release(found->api->flags, array);
}

}  // namespace vantor::binding
