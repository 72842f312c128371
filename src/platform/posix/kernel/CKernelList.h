// The kernel stand-in's lists of what is alive (objects, critical sections,
// thread records), which fork() walks: intrusive doubly linked lists whose
// nodes have m_pPrevious and m_pNext and name this class their friend. The
// caller holds the list's lock.
#pragma once

class CKernelList {
public:
    template <class T>
    static void push(T *&head, T *node)
    {
        node->m_pPrevious = nullptr;
        node->m_pNext = head;
        if (head)
            head->m_pPrevious = node;
        head = node;
    }

    template <class T>
    static void unlink(T *&head, T *node)
    {
        if (node->m_pPrevious)
            node->m_pPrevious->m_pNext = node->m_pNext;
        else
            head = node->m_pNext;
        if (node->m_pNext)
            node->m_pNext->m_pPrevious = node->m_pPrevious;
        node->m_pPrevious = node->m_pNext = nullptr;
    }
};
