#include "platform/codesign/fd_bio.h"

#include <cerrno>

#include <unistd.h>

namespace korvane::codesign::detail {
namespace {

struct PreadState {
    int fd = -1;
    off_t offset = 0;
    bool atEnd = false;
};

int preadRead(BIO* bio, char* buffer, size_t size, size_t* bytesRead) {
    auto* state = static_cast<PreadState*>(BIO_get_data(bio));
    *bytesRead = 0;
    if (state == nullptr || state->atEnd || size == 0) return 0;
    ssize_t n = -1;
    do {
        n = ::pread(state->fd, buffer, size, state->offset);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        // A read error ends the stream early; the digest then cannot match, which is the
        // answer we want for bytes we could not read.
        state->atEnd = true;
        return 0;
    }
    state->offset += n;
    *bytesRead = static_cast<size_t>(n);
    return 1;
}

long preadCtrl(BIO* bio, int command, long, void*) {
    auto* state = static_cast<PreadState*>(BIO_get_data(bio));
    switch (command) {
    case BIO_CTRL_EOF:
        return state == nullptr || state->atEnd ? 1 : 0;
    case BIO_CTRL_FLUSH:
        return 1;
    default:
        return 0;
    }
}

int preadDestroy(BIO* bio) {
    delete static_cast<PreadState*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

// Created once and kept for the life of the process, as OpenSSL's own methods are.
const BIO_METHOD* preadMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* created = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "pread source");
        if (created != nullptr) {
            BIO_meth_set_read_ex(created, preadRead);
            BIO_meth_set_ctrl(created, preadCtrl);
            BIO_meth_set_destroy(created, preadDestroy);
        }
        return created;
    }();
    return method;
}

}  // namespace

BioPtr preadBio(int fd) {
    const BIO_METHOD* method = preadMethod();
    if (method == nullptr) return nullptr;
    BioPtr bio(BIO_new(method));
    if (!bio) return nullptr;
    BIO_set_data(bio.get(), new PreadState{fd, 0, false});
    BIO_set_init(bio.get(), 1);
    return bio;
}

}  // namespace korvane::codesign::detail
