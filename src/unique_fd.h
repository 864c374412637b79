// unique_fd.h: a descriptor closed on every way out of the scope that
// opened it.
#ifndef SPOOLSIFT_UNIQUE_FD_H
#define SPOOLSIFT_UNIQUE_FD_H

#include <unistd.h>

#include <utility>

class unique_fd {
public:
	explicit unique_fd(int fd) : fd_(fd) {}
	~unique_fd()
	{
		if (fd_ != -1)
			close(fd_);
	}
	unique_fd(const unique_fd &) = delete;
	unique_fd &operator=(const unique_fd &) = delete;
	unique_fd(unique_fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
	unique_fd &operator=(unique_fd &&other) noexcept
	{
		if (this != &other) {
			if (fd_ != -1)
				close(fd_);
			fd_ = std::exchange(other.fd_, -1);
		}
		return *this;
	}

	int get() const { return fd_; }
	explicit operator bool() const { return fd_ != -1; }

private:
	int fd_;
};

#endif
