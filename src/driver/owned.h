// The owner of one open resource of the system (a descriptor, a stream, a
// directory, a handle), which lets it go when the owner goes, whether its
// scope is left by a return or by std::bad_alloc.
#ifndef QUENDIX_DRIVER_OWNED_H
#define QUENDIX_DRIVER_OWNED_H

#include <cstdio>

// Owns a value of `Kind::type`, the kind of resource `Kind` describes:
// `Kind::none()` is the value that stands for no resource (-1, a null
// pointer, INVALID_HANDLE_VALUE) and `Kind::close(value)` lets one go. It
// can be moved, never copied.
template <typename Kind>
class owned {
public:
    using type = typename Kind::type;

    owned() = default;
    explicit owned(type opened) : value(opened) {}
    owned(owned&& other) noexcept : value(other.release()) {}
    owned& operator=(owned&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    owned(const owned&) = delete;
    owned& operator=(const owned&) = delete;
    ~owned() { reset(); }

    type get() const { return value; }
    explicit operator bool() const { return value != Kind::none(); }

    // Lets go of what it owns and takes `opened` instead.
    void reset(type opened = Kind::none())
    {
        if (value != Kind::none()) {
            Kind::close(value);
        }
        value = opened;
    }

    // Hands the resource over to the caller, who lets it go from now on.
    type release()
    {
        const type kept = value;
        value = Kind::none();
        return kept;
    }

private:
    type value = Kind::none();
};

// A stream of the C library as an owned resource: null for none.
struct stream_kind {
    using type = std::FILE*;
    static std::FILE* none() { return nullptr; }
    static void close(std::FILE* stream) { std::fclose(stream); }
};

// The owner of an open stream, which closes it when the owner goes.
using owned_stream = owned<stream_kind>;

#endif
