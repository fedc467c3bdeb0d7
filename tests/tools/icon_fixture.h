// Icon files built in memory, image by image, and a signing key made by
// openssl: fixtures of the brand, sign and pack tests.
#pragma once

#include "brand.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace stubmedia_test {

using stubmedia::kIconSlots;

inline void Put(std::string& b, size_t at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        b[at + i] = char(value >> (8 * i));
}

// A DIB as icon files hold it. palette: entries stored (0: the full palette
// for 4 and 8 bpp); the stored biClrUsed says so.
inline std::string Dib(int size, int bpp, int seed, uint32_t palette = 0, uint32_t compression = 0)
{
    uint32_t stored = palette ? palette : bpp <= 8 ? 1u << bpp : 0;
    uint32_t stride = (uint32_t(size) * bpp + 31) / 32 * 4;
    uint32_t mask = (uint32_t(size) + 31) / 32 * 4;
    std::string b(40, '\0');
    Put(b, 0, 40, 4);
    Put(b, 4, uint32_t(size), 4);
    Put(b, 8, uint32_t(2 * size), 4);
    Put(b, 12, 1, 2);
    Put(b, 14, uint32_t(bpp), 2);
    Put(b, 16, compression, 4);
    Put(b, 32, palette, 4);
    for (uint32_t i = 0; i < stored * 4 + (stride + mask) * size; ++i)
        b += char((i * 7 + seed * 31) & 0xFF);
    return b;
}

inline std::string Png(int size)
{
    std::string b = "\x89PNG\r\n\x1a\n";
    b += std::string("\0\0\0\x0dIHDR", 8);
    for (int shift : {24, 16, 8, 0})
        b += char((size >> shift) & 0xFF);
    for (int shift : {24, 16, 8, 0})
        b += char((size >> shift) & 0xFF);
    b += std::string(20, '\0');
    return b;
}

inline std::string Ico(const std::vector<std::string>& images)
{
    std::string b(6 + 16 * images.size(), '\0');
    Put(b, 2, 1, 2);
    Put(b, 4, uint32_t(images.size()), 2);
    for (size_t i = 0; i < images.size(); ++i) {
        Put(b, 6 + 16 * i + 8, uint32_t(images[i].size()), 4);
        Put(b, 6 + 16 * i + 12, uint32_t(b.size()), 4);
        b += images[i];
    }
    return b;
}

inline std::vector<std::string> NineImages()
{
    std::vector<std::string> images;
    for (int i = 0; i < 9; ++i)
        images.push_back(Dib(kIconSlots[i].size, kIconSlots[i].bpp, i + 1));
    return images;
}

// A self-signed code-signing certificate and its key in dir/signer.p12,
// protected by the password in dir/password.txt; false when openssl failed
// (its output is in dir/openssl.log).
inline bool MakeTestSigner(const std::string& dir)
{
    std::string make =
        "cd '" + dir + "' && printf 'brelm-test\\n' > password.txt && openssl req -x509 -newkey rsa:2048 -nodes "
        "-keyout key.pem -out cert.pem -days 3650 -subj '/CN=Brelm Test Signer/O=Brelm Test' "
        "-addext extendedKeyUsage=codeSigning >openssl.log 2>&1 && openssl pkcs12 -export -inkey key.pem -in "
        "cert.pem -out signer.p12 -passout file:password.txt >>openssl.log 2>&1";
    return std::system(make.c_str()) == 0;
}

}  // namespace stubmedia_test
