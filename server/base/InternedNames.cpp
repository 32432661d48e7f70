#include "base/InternedNames.h"

#include <QSet>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace wispline::server
{

namespace
{

class NameTable
{
public:
    QByteArray intern(QByteArrayView name)
    {
        std::lock_guard lock(mutex_);
        const QByteArray probe = QByteArray::fromRawData(name.data(), name.size());
        const auto found = names_.constFind(probe);
        if (found != names_.cend())
            return *found;
        const std::size_t size = std::size_t(name.size()) + 1;
        if (size > left_) {
            const std::size_t chunk = std::max(kChunkBytes, size);
            chunks_.push_back(std::make_unique<char[]>(chunk));
            next_ = chunks_.back().get();
            left_ = chunk;
        }
        char* const bytes = next_;
        std::copy(name.begin(), name.end(), bytes);
        bytes[name.size()] = '\0';
        next_ += size;
        left_ -= size;
        const QByteArray kept = QByteArray::fromRawData(bytes, name.size());
        names_.insert(kept);
        return kept;
    }

private:
    // A chunk is made once the one before is full: a block of the heap as long-lived as the
    // names in it, among the other long-lived ones.
    static constexpr std::size_t kChunkBytes = 4096 - 16;

    std::mutex mutex_; // a process may run more than one server (the tests do)
    QSet<QByteArray> names_;
    std::vector<std::unique_ptr<char[]>> chunks_;
    char* next_ = nullptr;
    std::size_t left_ = 0;
};

} // namespace

QByteArray internedName(QByteArrayView name)
{
    // Never destroyed: copies may be held by whatever ends last.
    static NameTable* const table = new NameTable;
    return table->intern(name);
}

} // namespace wispline::server
