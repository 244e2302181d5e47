#ifndef PPAPI_UTILITY_COMPLETION_CALLBACK_FACTORY_THREAD_TRAITS_H_
#define PPAPI_UTILITY_COMPLETION_CALLBACK_FACTORY_THREAD_TRAITS_H_

namespace pp {

// Tags for CompletionCallbackFactory. This platform's factory is safe to
// use from any thread with either; callbacks may be made, run and dropped
// on any thread.
struct ThreadSafeThreadTraits {};
struct NonThreadSafeThreadTraits {};

}  // namespace pp

#endif  // PPAPI_UTILITY_COMPLETION_CALLBACK_FACTORY_THREAD_TRAITS_H_
