// The memory floor of a program that serves HTTP with Debian's cpp-httplib: it makes a server, as
// thermal-exporter does, and prints its own resident set ("VmRSS: N kB"), nothing else. The library
// comes with TLS support, and loading it initialises OpenSSL, whose pages count in every user's RSS.
#include <httplib.h>

#include <cstdio>
#include <fstream>
#include <string>

int main()
{
    httplib::Server server;
    server.Get("/metrics",
               [](const httplib::Request&, httplib::Response& response) { response.set_content("", "text/plain"); });
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) std::puts(line.c_str());
    }
    return 0;
}
