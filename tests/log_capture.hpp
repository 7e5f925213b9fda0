// Captures what the log module writes while an object of this type lives.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "common/log.hpp"

class log_capture {
public:
    log_capture() : fd_(memfd_create("log_capture", 0)), saved_(common::get_log_fd())
    {
        // Lines come from several threads at once: each write must append.
        ::fcntl(fd_, F_SETFL, O_APPEND);
        common::set_log_fd(fd_);
    }
    ~log_capture()
    {
        common::set_log_fd(saved_);
        ::close(fd_);
    }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    // Everything written so far.
    std::string text() const
    {
        std::string out;
        char buf[4096];
        off_t off = 0;
        ssize_t n;
        while ((n = ::pread(fd_, buf, sizeof buf, off)) > 0) {
            out.append(buf, static_cast<size_t>(n));
            off += n;
        }
        return out;
    }

    // The lines written so far with their time stamp and source line cut
    // off: what follows the tab of a short-form line, or the tag and text of
    // a tagged line ("prod short packet len 3").
    std::string messages() const
    {
        std::string all = text(), out;
        size_t pos = 0;
        while (pos < all.size()) {
            size_t nl = all.find('\n', pos);
            std::string line = all.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
            pos = nl == std::string::npos ? all.size() : nl + 1;
            size_t tab = line.find('\t');
            if (tab != std::string::npos) {
                out += line.substr(tab + 1);
            } else {
                // "sss.uuuuuu tag [line] text"
                size_t sp = line.find(' ');
                size_t lb = line.find(" [", sp == std::string::npos ? 0 : sp);
                size_t rb = line.find("] ", lb == std::string::npos ? 0 : lb);
                if (sp != std::string::npos && lb != std::string::npos && rb != std::string::npos)
                    out += line.substr(sp + 1, lb - sp - 1) + " " + line.substr(rb + 2);
                else
                    out += line;
            }
            out += '\n';
        }
        return out;
    }

    void clear()
    {
        [[maybe_unused]] int r = ::ftruncate(fd_, 0);
        ::lseek(fd_, 0, SEEK_SET);
    }

private:
    int fd_;
    int saved_;
};
