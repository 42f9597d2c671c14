// Construction, destruction and the dispatcher of the base, with the parent answers it hands out.
#include "zeph_script_helper.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if defined(__GNUC__) || defined(__clang__)
#define ZEPH_KEEP __attribute__((used))
#else
#define ZEPH_KEEP
#endif

// Nothing reads it; it identifies the base library inside every module to whoever inspects the
// file.
ZEPH_KEEP extern const char zeph_signature[] =
    "ZEPH_SIG,name=zeph_script_helper,type=LIB,version=4.8.6.0,date=16/06/2017,"
    "author=Ostrel developers";

zeph_script_helper::zeph_script_helper(zeph_client_callback* hostCallback, const char* basePath)
    : host(hostCallback), path(), alarmHandling(false), m_answers(nullptr), m_answerCount(0),
      m_answerCapacity(0) {
    path = basePath;
}

zeph_script_helper::~zeph_script_helper() {
    hostDetach();
    // The host can no longer hand these back once we are gone.
    for (int i = 0; i < m_answerCount; ++i)
        free(m_answers[i]);
    free(m_answers);
}

void* zeph_script_helper::operator new(size_t size) noexcept {
    return malloc(size);
}

void zeph_script_helper::operator delete(void* p) noexcept {
    free(p);
}

char* zeph_script_helper::callback(void* data, int type) {
    switch (type) {
    case ZEPH_REVERTIVE: {
        revertiveNotify revertive(data);
        revertiveCallback(&revertive);
        return nullptr;
    }
    case ZEPH_BUTTON: {
        buttonNotify button(data);
        if (alarmHandling && dispatchAlarm(button))
            return nullptr;
        buttonCallback(&button);
        return nullptr;
    }
    case ZEPH_PARENT: {
        parentNotify command(static_cast<const char*>(data));
        const zeph_string answer = parentCallback(&command);
        return keepAnswer(answer);
    }
    case ZEPH_TIMER:
        timerCallback(static_cast<int>(reinterpret_cast<intptr_t>(data)));
        return nullptr;
    case ZEPH_RELEASE:
        releaseAnswer(data);
        return nullptr;
    case ZEPH_DATABASE: {
        revertiveNotify change(data);
        databaseCallback(&change);
        return nullptr;
    }
    case ZEPH_SPARE: {
        extraNotify extra(data);
        extraCallback(&extra);
        return nullptr;
    }
    default:
        return nullptr;
    }
}

char* zeph_script_helper::keepAnswer(const zeph_string& answer) {
    const int len = answer.length();
    if (len == 0)
        return nullptr;
    if (m_answerCount == m_answerCapacity) {
        const int grown = m_answerCapacity ? m_answerCapacity * 2 : 4;
        char** bigger =
            static_cast<char**>(realloc(m_answers, static_cast<size_t>(grown) * sizeof(char*)));
        if (!bigger)
            return nullptr; // an untracked answer could never be freed safely
        m_answers = bigger;
        m_answerCapacity = grown;
    }
    char* copy = static_cast<char*>(malloc(static_cast<size_t>(len) + 1));
    if (!copy)
        return nullptr;
    memcpy(copy, static_cast<const char*>(answer), static_cast<size_t>(len) + 1);
    m_answers[m_answerCount++] = copy;
    return copy;
}

bool zeph_script_helper::releaseAnswer(void* answer) {
    if (!answer)
        return false;
    // Newest first: the host usually hands an answer back straight away.
    for (int i = m_answerCount - 1; i >= 0; --i) {
        if (m_answers[i] == answer) {
            free(m_answers[i]);
            m_answers[i] = m_answers[--m_answerCount];
            return true;
        }
    }
    return false;
}
