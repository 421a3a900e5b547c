// Texts of the NumPy wing that other software depends on, byte for byte: the name of the
// borrow registry's capsule, which every extension sharing the registry looks up, and the
// messages of failures reaching NumPy, which callers and logs match. Change none of them
// (see runtime/compat_texts.hpp).
#pragma once

namespace vantor::binding::compat {

// Internal-failure messages.
inline constexpr char NOT_CONTIGUOUS[] = "NotContiguousError";
inline constexpr char ALREADY_BORROWED_ARRAY[] = "AlreadyBorrowed";
inline constexpr char NUMPY_API_UNREACHABLE[] = "Failed to access NumPy array API capsule: ";
inline constexpr char REGISTRY_ERROR[] = "Interal borrow checking API error: ";
inline constexpr char UNEXPECTED_RETURN_CODE[] = "Unexpected return code ";
inline constexpr char FROM_BORROW_API[] = " from borrow checking API";

// Python errors with fixed texts.
// NumPy's major version does not fit in a byte.
inline constexpr char VERSION_OUT_OF_RANGE[] = "out of range integral type conversion attempted";
// The targets of "'{from}' object cannot be converted to '{to}'".
inline constexpr char ARRAY_TARGET[] = "PyArray<T, D>";
inline constexpr char CAPSULE_TARGET[] = "PyCapsule";
// "Version {n} of borrow checking API is not supported by this version of rust-numpy".
inline constexpr char UNSUPPORTED_VERSION_HEAD[] = "Version ";
inline constexpr char UNSUPPORTED_VERSION[] =
    " of borrow checking API is not supported by this version of rust-numpy";

// The borrow registry shared with other extensions.
inline constexpr char BORROW_CAPSULE_NAME[] = "_RUST_NUMPY_BORROW_CHECKING_API";

}  // namespace vantor::binding::compat
