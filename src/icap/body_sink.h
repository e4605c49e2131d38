#pragma once
// Where the entity reader hands the bytes of a body it does not keep.

#include <cstddef>

// Takes the bytes of a body that is not kept in its entity record (the
// record only counts them), and is asked before each read that may wait.
class body_sink {
public:
    // False ends the reading as failed.
    virtual bool take(const char* bytes, size_t length) = 0;
    // Returns once the client's next bytes can be read; false on failure.
    virtual bool wait_for_client() = 0;

protected:
    ~body_sink() = default;
};
