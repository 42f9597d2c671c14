// The serve tests' fixture: the clean test component in a session on a small facility, its page
// served on loopback, and a client sending the page's own token in its header.
#pragma once

#include "built_paths.h"
#include "module_loader.h"
#include "serve/server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <csignal>
#include <memory>
#include <string>

namespace {

using namespace zeph::bench;

const char* const kFacility = R"(router 5
source 5 12 Camera 1
control 1 UMD
control 1 Btn
load
)";

class ServeTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_TRUE(
            module.open(std::string(zeph::built::testModuleDir) + "/test_component_clean.so"))
            << module.error();
        session = std::make_unique<Session>(module.factory(), SessionOptions{});
        std::string error;
        auto scenario = parseScenario(kFacility, "facility", error);
        ASSERT_TRUE(scenario) << error;
        ASSERT_TRUE(session->start({*scenario}).empty());
        ServerOptions o;
        o.keepAliveMs = 200;
        serve(o);
    }
    // Starts the server and takes the token from its address's fragment, as the page does.
    void serve(const ServerOptions& o) {
        client.reset();
        server.reset();
        server = std::make_unique<PageServer>(*session, o);
        std::string error;
        ASSERT_TRUE(server->bind(error)) << error;
        server->start();
        client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        const std::string url = server->url();
        const std::string prefix = "http://127.0.0.1:" + std::to_string(server->port());
        ASSERT_EQ(url.rfind(prefix + "/#token=", 0), 0u) << url;
        token = url.substr(url.find('=') + 1);
        ASSERT_EQ(token.size(), 32u) << url;
        client->set_default_headers({{"X-Zeph-Token", token}});
    }
    void TearDown() override {
        client.reset();
        server.reset();
        session.reset();
    }

    httplib::Result post(const std::string& path, const std::string& body) {
        return client->Post(path.c_str(), body, "application/json");
    }

    zeph::host::Module module;
    std::unique_ptr<Session> session;
    std::unique_ptr<PageServer> server;
    std::unique_ptr<httplib::Client> client;
    std::string token;
};

} // namespace
