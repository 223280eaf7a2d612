// Handles as ids into a process-wide table of reference-counted objects.
// A caller copies the object's shared_ptr out under the table lock, so
// closing a handle while another thread is still using the object never
// frees it under that thread; ids are never reused, so a stale handle finds
// nothing instead of someone else's object.
#pragma once

#include <stdint.h>

#include <memory>
#include <mutex>
#include <unordered_map>

namespace plat {

template <typename Object>
class HandleTable {
public:
    uintptr_t Insert(std::shared_ptr<Object> object) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const uintptr_t id = m_NextId++;
        m_Objects.emplace(id, std::move(object));
        return id;
    }

    std::shared_ptr<Object> Find(uintptr_t id) const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const auto found = m_Objects.find(id);
        return found == m_Objects.end() ? nullptr : found->second;
    }

    // The removed object, or null when the id was not (or no longer) valid.
    std::shared_ptr<Object> Remove(uintptr_t id) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const auto found = m_Objects.find(id);
        if (found == m_Objects.end()) return nullptr;
        std::shared_ptr<Object> object = std::move(found->second);
        m_Objects.erase(found);
        return object;
    }

private:
    mutable std::mutex m_Mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> m_Objects;
    uintptr_t m_NextId = 1;
};

}  // namespace plat
