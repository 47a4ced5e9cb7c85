// KWLIST: the cursor walk, insertion and removal of the engine's linked list.
#include "engine/core/kwlist.h"

#include "engine/core/dbgmgr.h"

KWLISTITEM::~KWLISTITEM() = default;

KWLIST::~KWLIST() {
    DeleteAll();
}

kwRet KWLIST::Retrieve(std::uint32_t index, KWLISTITEM** item) {
    *item = nullptr;
    if (count_ == 0)
        return ERR_LIST_EMPTY;
    if (index >= count_)
        return ERR_LIST_INDEX;
    KWLISTITEM* walk = current_;
    for (std::uint32_t i = index_; walk != nullptr && i != index;) {
        if (index > i) {
            walk = walk->next_;
            ++i;
        } else {
            walk = walk->prev_;
            --i;
        }
    }
    if (walk == nullptr) {
        DbgPrintf("KWLIST::Retrieve()\r\n  list smaller than indicated size\r\n");
        return ERR_LIST_SHORT;
    }
    current_ = walk;
    index_ = index;
    *item = walk;
    return KW_OK;
}

KWLISTITEM* KWLIST::GetAt(std::uint32_t index) {
    KWLISTITEM* item = nullptr;
    Retrieve(index, &item);
    return item;
}

kwRet KWLIST::Insert(KWLISTITEM* item, bool before) {
    if (item == nullptr)
        return KW_OK;
    if (IsFull())
        return ERR_LIST_FULL;
    if (count_ == 0) {
        item->next_ = item->prev_ = nullptr;
        head_ = item;
        index_ = 0;
    } else if (!before) {
        item->prev_ = current_;
        item->next_ = current_->next_;
        if (current_->next_ != nullptr)
            current_->next_->prev_ = item;
        current_->next_ = item;
        ++index_;
    } else {
        item->next_ = current_;
        item->prev_ = current_->prev_;
        if (current_->prev_ != nullptr)
            current_->prev_->next_ = item;
        current_->prev_ = item;
        if (head_ == current_)
            head_ = item;
    }
    current_ = item;
    ++count_;
    return KW_OK;
}

kwRet KWLIST::Append(KWLISTITEM* item) {
    if (item == nullptr)
        return KW_OK;
    if (IsFull())
        return ERR_LIST_FULL;
    if (count_ != 0) {
        KWLISTITEM* last = nullptr;
        kwRet rc = Retrieve(count_ - 1, &last);
        if (rc != KW_OK)
            return rc;
    }
    return Insert(item, false);
}

kwRet KWLIST::RemoveCurrent(KWLISTITEM** item) {
    *item = nullptr;
    if (count_ == 0)
        return ERR_LIST_EMPTY;
    KWLISTITEM* gone = current_;
    if (count_ == 1) {
        head_ = current_ = nullptr;
        index_ = 0;
    } else {
        if (gone->prev_ != nullptr)
            gone->prev_->next_ = gone->next_;
        if (gone->next_ != nullptr)
            gone->next_->prev_ = gone->prev_;
        if (head_ == gone)
            head_ = gone->next_;
        if (gone->next_ != nullptr) {
            current_ = gone->next_;
        } else {
            current_ = head_;
            index_ = 0;
        }
    }
    gone->next_ = gone->prev_ = nullptr;
    --count_;
    *item = gone;
    return KW_OK;
}

kwRet KWLIST::DeleteCurrent() {
    KWLISTITEM* item = nullptr;
    kwRet rc = RemoveCurrent(&item);
    delete item;
    return rc;
}

kwRet KWLIST::DeleteAll() {
    kwRet rc;
    while ((rc = DeleteCurrent()) == KW_OK) {
    }
    return rc == ERR_LIST_EMPTY ? KW_OK : rc;
}
