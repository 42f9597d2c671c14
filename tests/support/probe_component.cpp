#include "probe_component.h"

void ProbeComponent::buttonCallback(buttonNotify* b) {
    seen.push_back("button " + std::string(b->panelId()) + " " + std::string(b->controlId()) + " " +
                   std::string(b->eventCommand()) + " " + std::string(b->eventValue()));
}

void ProbeComponent::revertiveCallback(revertiveNotify* r) {
    seen.push_back("revertive " + std::to_string(r->device()) + " " + std::to_string(r->index()) +
                   " " + std::string(r->text()));
}

zeph_string ProbeComponent::parentCallback(parentNotify* p) {
    seen.push_back("parent " + std::string(p->getCommand()) + " " + std::string(p->getValue()));
    if (onParent)
        onParent(*this, p);
    return zeph_string(answer.c_str());
}

void ProbeComponent::extraCallback(extraNotify* e) {
    seen.push_back(std::string("extra ") + (e->record() ? "data" : "null"));
}

void ProbeComponent::timerCallback(int id) {
    seen.push_back("timer " + std::to_string(id));
}

void ProbeComponent::databaseCallback(revertiveNotify* d) {
    seen.push_back("database " + std::to_string(d->device()) + " " + std::to_string(d->database()) +
                   " " + std::to_string(d->entry()) + " " + std::string(d->text()));
}

zeph_client_callback* createProbe(zeph_client_callback* host, const char* path) {
    return new ProbeComponent(host, path);
}
