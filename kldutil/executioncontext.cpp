#include <kldutil/executioncontext.h>

#include <kldutil/raise.h>

#include <algorithm>

namespace {

void Announce(const char* verb, const BasicExecutionContext& context) noexcept {
    try {
        const std::string line = std::string(verb) + context.Describe().ToUtf8() + "\n";
        OutputDebugStringA(line.c_str());
    } catch (...) {
        // Announcing is a courtesy; a context must enter and leave regardless.
    }
}

} // namespace

BasicExecutionContext::BasicExecutionContext(int number, const char* file, const char* function,
                                             int line, bool announce, const CXString& message)
    : m_number(number), m_file(file ? file : ""), m_function(function ? function : ""),
      m_line(line), m_announce(announce), m_message(message) {}

BasicExecutionContext::~BasicExecutionContext() = default;

CXString BasicExecutionContext::Describe() const {
    CXString text;
    text.Format(u"%d %hs at %hs(%d)", m_number, m_function.c_str(), m_file.c_str(), m_line);
    if (!m_message.IsEmpty()) {
        text += u": ";
        text += m_message;
    }
    return text;
}

void ExecutionContextStack::Push(const BasicExecutionContext& context) {
    m_contexts.push_back(&context);
    if (context.IsAnnounced()) {
        Announce("Entering ", context);
    }
}

void ExecutionContextStack::Pop(const BasicExecutionContext& context) noexcept {
    // Normally the top one; searching from the top keeps a misplaced lifetime from leaving a
    // dangling entry behind.
    const auto found = std::find(m_contexts.rbegin(), m_contexts.rend(), &context);
    if (found == m_contexts.rend()) {
        return;
    }
    m_contexts.erase(std::next(found).base());
    if (context.IsAnnounced()) {
        Announce("Leaving ", context);
    }
}

std::vector<CXString> ExecutionContextStack::Describe() const {
    std::vector<CXString> descriptions;
    descriptions.reserve(m_contexts.size());
    for (const BasicExecutionContext* context : m_contexts) {
        descriptions.push_back(context->Describe());
    }
    return descriptions;
}

ExecutionContextStack& UtilitiesDllPerThreadStorage::GetExecutionContextStack() noexcept {
    thread_local ExecutionContextStack stack;
    return stack;
}

namespace {

std::unique_ptr<BasicExecutionContext> Required(std::unique_ptr<BasicExecutionContext> context) {
    if (!context) {
        kldutil::RaiseNullPointer(__FILE__, __LINE__, "ExecutionContextLifetime");
    }
    return context;
}

} // namespace

ExecutionContextLifetime::ExecutionContextLifetime(std::unique_ptr<BasicExecutionContext> context)
    : m_context(Required(std::move(context))),
      m_stack(UtilitiesDllPerThreadStorage::GetExecutionContextStack()) {
    m_stack.Push(*m_context);
}

ExecutionContextLifetime::~ExecutionContextLifetime() {
    m_stack.Pop(*m_context);
}
