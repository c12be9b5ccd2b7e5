// The execution context stack: each thread keeps a stack of named contexts (what the thread
// is doing, and where in the source), which exception factories record so that a report
// tells the story of a failure, not only its last line.
//
// Contract: the stack does not own its contexts. An ExecutionContextLifetime owns one context
// and keeps it on the calling thread's stack for its own scope; lifetimes nest like scopes.
#pragma once

#include <kldutil/cxstring.h>
#include <kldutil/kldutilexport.h>

#include <memory>
#include <string>
#include <vector>

class KLDUTIL_API BasicExecutionContext {
public:
    // number: the caller's own identifier of the context. announce: when true, entering and
    // leaving the context are written to the debug output.
    BasicExecutionContext(int number, const char* file, const char* function, int line,
                          bool announce, const CXString& message);
    virtual ~BasicExecutionContext();
    BasicExecutionContext(const BasicExecutionContext&) = default;
    BasicExecutionContext& operator=(const BasicExecutionContext&) = default;

    int GetNumber() const noexcept { return m_number; }
    const std::string& GetFile() const noexcept { return m_file; }
    const std::string& GetFunction() const noexcept { return m_function; }
    int GetLine() const noexcept { return m_line; }
    bool IsAnnounced() const noexcept { return m_announce; }
    const CXString& GetMessage() const noexcept { return m_message; }

    // One line: "31639 XpsFilterBase::StartOperation at xpsfilterbase.cpp(105)", followed by
    // ": message" when there is one.
    virtual CXString Describe() const;

private:
    int m_number;
    std::string m_file;
    std::string m_function;
    int m_line;
    bool m_announce;
    CXString m_message;
};

class KLDUTIL_API ExecutionContextStack {
public:
    ExecutionContextStack() = default;
    ExecutionContextStack(const ExecutionContextStack&) = delete;
    ExecutionContextStack& operator=(const ExecutionContextStack&) = delete;

    void Push(const BasicExecutionContext& context);
    // Removes context (normally the top one); a context not on the stack is ignored.
    void Pop(const BasicExecutionContext& context) noexcept;

    size_t GetSize() const noexcept { return m_contexts.size(); }
    bool IsEmpty() const noexcept { return m_contexts.empty(); }
    // 0 is the outermost context.
    const BasicExecutionContext& GetAt(size_t index) const { return *m_contexts.at(index); }
    // The descriptions of all contexts, outermost first.
    std::vector<CXString> Describe() const;

private:
    std::vector<const BasicExecutionContext*> m_contexts;
};

class KLDUTIL_API UtilitiesDllPerThreadStorage {
public:
    // The calling thread's stack; it lives as long as the thread.
    static ExecutionContextStack& GetExecutionContextStack() noexcept;
};

class KLDUTIL_API ExecutionContextLifetime {
public:
    // Takes the context (null raises ExceptionInvalidArgumentNullPointer) and pushes it on the
    // calling thread's stack until this object is destroyed.
    explicit ExecutionContextLifetime(std::unique_ptr<BasicExecutionContext> context);
    ~ExecutionContextLifetime();
    ExecutionContextLifetime(const ExecutionContextLifetime&) = delete;
    ExecutionContextLifetime& operator=(const ExecutionContextLifetime&) = delete;

    const BasicExecutionContext& GetContext() const noexcept { return *m_context; }

private:
    std::unique_ptr<BasicExecutionContext> m_context;
    ExecutionContextStack& m_stack;
};
