// SHA-256 over OpenSSL, as lower-case hex.
#pragma once

#include <cstddef>
#include <string>

namespace stubmedia {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Update(const void* data, size_t size);
    std::string HexDigest();  // ends the hash

private:
    void* context_;
};

// Empty when the file cannot be read.
std::string Sha256File(const std::string& path);

}  // namespace stubmedia
