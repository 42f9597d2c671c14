// What the bench makes components with: a loaded module (or, in tests, a bare factory), and the
// measurement of the heap those components allocate on. The bench asks this, never the bridge.
#pragma once

#include "zeph_client_callback.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>

namespace zeph::host {

class Module;
namespace bridge {
class BridgedModule;
}

class ComponentSource {
public:
    ComponentSource() = default;
    // A bare factory; one handed out by a bridged module is known as such.
    ComponentSource(zeph_factory_fn factory); // NOLINT(google-explicit-constructor)
    // Anything that converts to a factory (a captureless lambda in a test).
    template <class F, class = std::enable_if_t<std::is_convertible_v<F, zeph_factory_fn> &&
                                                !std::is_same_v<F, zeph_factory_fn>>>
    ComponentSource(F factory) // NOLINT(google-explicit-constructor)
        : ComponentSource(static_cast<zeph_factory_fn>(factory)) {}
    ComponentSource(const Module& module); // NOLINT(google-explicit-constructor)

    explicit operator bool() const { return m_factory != nullptr; }
    // The same source making the instance a scenario names, so that a fault the bench reports
    // from another process (the bridge's) says whose it was. With onFault, such a fault is that
    // instance's alone: onFault hears it in one line naming the module, and the component is dead
    // from then on while the others go on (a component of this process has no such fault).
    ComponentSource named(const std::string& instance,
                          std::function<void(const std::string& line)> onFault = nullptr) const;
    // The factory's call: a new component for this host and base path, or null.
    zeph_client_callback* create(zeph_client_callback* host, const char* path) const;
    // True when the components live in another process (a Windows DLL under the bridge), whose
    // heap this process's heap figures never see.
    bool remoteHeap() const { return m_bridged != nullptr; }
    // The bytes in use on that process's heaps; nullopt for components of this process, or when
    // it cannot be measured.
    std::optional<size_t> remoteHeapInUse() const;
    // Runs job(0) .. job(count - 1), where job i may touch what job i - apart touched (a copy of
    // a facility dealt to again) and nearer jobs share nothing a component could tell apart:
    // where the components live in another process, a few jobs go at once, each one's
    // notification sent ahead while the others' are served, so that neither process waits on the
    // other for each; else they run in turn. onTurn(i) is told whenever job i runs or its
    // notification is served, so that a crash names the step of the job whose it was.
    void overlap(size_t count, size_t apart, const std::function<void(size_t)>& job,
                 const std::function<void(size_t)>& onTurn) const;

private:
    zeph_factory_fn m_factory = nullptr;
    bridge::BridgedModule* m_bridged = nullptr;
    std::string m_instance;
    std::function<void(const std::string&)> m_onFault;
};

} // namespace zeph::host
