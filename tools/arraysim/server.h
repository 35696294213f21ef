// The array emulator: an HTTP(S) server on loopback serving the array's management API over a
// local directory that stands for /ifs.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/arraysim/sim_options.h"

namespace arraysim {

class ArraySim {
public:
    explicit ArraySim(SimOptions options);
    ~ArraySim();  // stops
    ArraySim(const ArraySim&) = delete;
    ArraySim& operator=(const ArraySim&) = delete;

    // Binds (loopback only) and starts serving on a thread of its own. False with `error` set when
    // the options, the certificate or the port are unusable.
    bool Start(std::string& error);
    // Stops serving and closes open connections; safe to call twice.
    void Stop();

    int Port() const;
    bool Tls() const;
    // "http(s)://127.0.0.1:<port>"
    std::string Url() const;

    // What POST /arraysim/faults and POST /arraysim/control do, for tests in the same process.
    bool AddFaults(const nlohmann::json& rules, std::string& error);
    bool Control(const nlohmann::json& control, std::string& error);

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace arraysim
