// A component source over a module or a factory.
#include "component_source.h"

#include "bridge/bridged_module.h"
#include "module_loader.h"

namespace zeph::host {

ComponentSource::ComponentSource(zeph_factory_fn factory)
    : m_factory(factory), m_bridged(bridge::bridgedModuleOf(factory)) {}

ComponentSource::ComponentSource(const Module& module)
    : m_factory(module.factory()), m_bridged(module.bridgedModule()) {}

ComponentSource ComponentSource::named(const std::string& instance,
                                       std::function<void(const std::string&)> onFault) const {
    ComponentSource named = *this;
    named.m_instance = instance;
    named.m_onFault = std::move(onFault);
    return named;
}

zeph_client_callback* ComponentSource::create(zeph_client_callback* host, const char* path) const {
    if (m_bridged)
        return m_bridged->create(host, path, m_instance, m_onFault);
    return m_factory ? m_factory(host, path) : nullptr;
}

std::optional<size_t> ComponentSource::remoteHeapInUse() const {
    return m_bridged ? m_bridged->heapInUse() : std::nullopt;
}

void ComponentSource::overlap(size_t count, size_t apart, const std::function<void(size_t)>& job,
                              const std::function<void(size_t)>& onTurn) const {
    if (m_bridged) {
        bridge::overlapCalls(count, apart, job, onTurn);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        onTurn(i);
        job(i);
    }
}

} // namespace zeph::host
