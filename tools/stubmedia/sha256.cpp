#include "sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <vector>

namespace stubmedia {

Sha256::Sha256() : context_(EVP_MD_CTX_new())
{
    EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_), EVP_sha256(), nullptr);
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_)); }

void Sha256::Update(const void* data, size_t size)
{
    EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), data, size);
}

std::string Sha256::HexDigest()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_), digest, &length);
    std::string hex;
    char byte[3];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", digest[i]);
        hex += byte;
    }
    return hex;
}

std::string Sha256File(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::string();
    Sha256 hash;
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), std::streamsize(buffer.size()));
        hash.Update(buffer.data(), size_t(in.gcount()));
    }
    if (in.bad())
        return std::string();
    return hash.HexDigest();
}

}  // namespace stubmedia
