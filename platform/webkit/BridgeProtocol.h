// The messages between the web views (app process) and the bridge extension (web process), as GVariant
// type strings. Both sides include this header; it needs GLib only.
//
// app -> every extension, and as the extension's initialization data for web processes started later:
//   kStateMessage  kStateType   (origin, mirrored values, bridged pages)
//                               values: name -> "ms" (no parameter) or "a{ss}" (one parameter)
//                               page:   (page id, object name, methods)
//                               method: (name, parameter kinds "s"/"b" one per parameter, mirrored,
//                                        fallback, written value name or "")
// extension -> app (the page's view):
//   kDocumentMessage kDocumentType  (document, URL, of the bridge's origin): a new document of the main frame
//                                   got its script world
//   kFrameMessage    kFrameType     (document): a frame of another origin got a document inside the main
//                                   frame's document
//   kCallMessage     kCallType      (document, URL, of the bridge's origin, method, arguments as "ms" or "b")
// "Of the bridge's origin": the document's own security origin, as the engine serializes it, equals the
// origin the app sent (which the app serialized with the engine too). No URL is parsed to decide it.
// app -> one page, with a reply kEvaluateReplyType (true: evaluated, false: that document is gone):
//   kEvaluateMessage kEvaluateType  (document, script)
// app -> one page, with a reply kFlushReplyType: the number of calls the page has sent so far
//   kFlushMessage    no parameters
#pragma once

namespace bridge_protocol {

inline constexpr const char* kStateMessage = "quorvane.state";
inline constexpr const char* kStateType = "(sa{sv}a(tsa(ssbmss)))";
inline constexpr const char* kDocumentMessage = "quorvane.document";
inline constexpr const char* kDocumentType = "(tsb)";
inline constexpr const char* kFrameMessage = "quorvane.frame";
inline constexpr const char* kFrameType = "(t)";
inline constexpr const char* kCallMessage = "quorvane.call";
inline constexpr const char* kCallType = "(tsbsav)";
inline constexpr const char* kEvaluateMessage = "quorvane.evaluate";
inline constexpr const char* kEvaluateType = "(ts)";
inline constexpr const char* kEvaluateReplyType = "(b)";
inline constexpr const char* kFlushMessage = "quorvane.flush";
inline constexpr const char* kFlushReplyType = "(t)";

}  // namespace bridge_protocol
