#pragma once
// Holding the engine's interface objects: whatever a factory or a Clone()
// hands out goes back through Release(), never delete. Owned<T> is the one way
// our own code holds such a pointer.
#include <memory>

struct ReleaseDeleter {
    template <typename T>
    void operator()(T* object) const {
        object->Release();
    }
};

template <typename T>
using Owned = std::unique_ptr<T, ReleaseDeleter>;
