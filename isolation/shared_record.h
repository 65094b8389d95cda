// shared_record.h
//
// A record in a shared anonymous mapping: a worker forked after it was made
// writes it, and this process can still read it after the worker has died.

#pragma once

#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace quarnhold::isolation {

template <class T>
class SharedRecord {
    static_assert(std::is_trivially_destructible_v<T>, "nothing runs a shared record's destructor");

public:
    // Throws std::runtime_error when the mapping cannot be made.
    SharedRecord()
    {
        void* memory = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            throw std::runtime_error(std::string("cannot map memory to share with a worker process: ") +
                                     strerror(errno));
        }
        record_ = new (memory) T();
    }
    ~SharedRecord() { munmap(record_, sizeof(T)); }
    SharedRecord(const SharedRecord&) = delete;
    SharedRecord& operator=(const SharedRecord&) = delete;

    T& operator*() const { return *record_; }
    T* operator->() const { return record_; }
    T* get() const { return record_; }

private:
    T* record_ = nullptr;
};

}  // namespace quarnhold::isolation
