#ifndef ASYNCRUN_H
#define ASYNCRUN_H

#include <QRunnable>

class ASyncFunc;

/**
 * @class ASyncRun
 * @brief Carries one work object into the thread pool.
 *
 * The runnable owns its ASyncFunc and deletes it in its destructor. It is
 * created with auto-deletion on, so the pool deletes it, and with it the work
 * object, on the pool thread right after run() returned.
 *
 * The work object is detached from the main thread when it is handed over and
 * adopted by the pool thread that runs it, so that it lives, works and dies
 * on one thread (objects it creates as its children belong there too).
 */
class ASyncRun : public QRunnable
{
public:
    /// Takes ownership of @p func; must be called on the thread that owns @p func.
    explicit ASyncRun(ASyncFunc *func);
    ~ASyncRun() override;

    /// Runs the work object's execute() on the calling pool thread.
    void run() override;

private:
    ASyncFunc *func;

    Q_DISABLE_COPY(ASyncRun)
};

#endif // ASYNCRUN_H
