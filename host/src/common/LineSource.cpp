#include "common/LineSource.h"

#include <chrono>
#include <functional>
#include <string_view>
#include <utility>

namespace quillane::host {
namespace {

thread_local std::uint64_t currentClient = 0;
thread_local StreamLineBudget* currentBudget = nullptr;
thread_local std::uint64_t currentSource = 0;

}  // namespace

std::uint64_t addressSource(std::string_view address) {
    return std::hash<std::string_view>{}(address);
}

ClientLineScope::ClientLineScope(std::string_view clientAddress)
    : outer(std::exchange(currentClient, addressSource(clientAddress))) {}

ClientLineScope::~ClientLineScope() {
    currentClient = outer;
}

std::uint64_t ClientLineScope::current() {
    return currentClient;
}

StreamLineBudget::StreamLineBudget(std::size_t lines, std::size_t libraryInfo)
    : lines(std::chrono::seconds(10), lines), libraryInfo(std::chrono::seconds(10), libraryInfo) {}

StreamLineScope::StreamLineScope(StreamLineBudget& budget, std::uint64_t source)
    : outerBudget(std::exchange(currentBudget, &budget)), outerSource(std::exchange(currentSource, source)) {}

StreamLineScope::~StreamLineScope() {
    currentBudget = outerBudget;
    currentSource = outerSource;
}

bool StreamLineScope::allow(std::size_t& held) {
    held = 0;
    return currentBudget == nullptr || currentBudget->lines.allow(currentSource, held);
}

bool StreamLineScope::allowLibraryInfo(std::size_t& held) {
    held = 0;
    return currentBudget == nullptr || currentBudget->libraryInfo.allow(currentSource, held);
}

}  // namespace quillane::host
