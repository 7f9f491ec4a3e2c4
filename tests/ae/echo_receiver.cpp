// A receiving application for the transport tests: claims the identifier given as its
// argument, prints "ready", and answers every event with a reply that holds the event's
// parameters plus what it saw: its return ID ('rtid'), transaction ID ('tran'), address
// ('addr') and whether its handler ran on the main thread ('main'). An 'errn' parameter in
// the event becomes the answer's status. "aevt"/"quit" also ends it.
#include "ae/AppleEventObjects.h"

#include <QCoreApplication>
#include <QThread>

#include <cstdio>

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  if (argc != 2) return 2;
  auto& manager = ae::NSAppleEventManager::sharedAppleEventManager();
  manager.setEventHandlerAndSelectorForEventClassAndEventID(
      &app,
      [&app](const ae::NSAppleEventDescriptor& event, ae::NSAppleEventDescriptor& reply) {
        for (AEKeyword keyword : {keyDirectObject, fourCharCode("num "), fourCharCode("text"), fourCharCode("blob"),
                                  keyErrorNumber}) {
          const auto parameter = event.paramDescriptorForKeyword(keyword);
          if (!parameter.isNull()) reply.setParamDescriptorForKeyword(parameter, keyword);
        }
        reply.setParamDescriptorForKeyword(ae::NSAppleEventDescriptor::descriptorWithInt32(event.returnID()),
                                           keyReturnIDAttr);
        reply.setParamDescriptorForKeyword(ae::NSAppleEventDescriptor::descriptorWithInt32(event.transactionID()),
                                           keyTransactionIDAttr);
        reply.setParamDescriptorForKeyword(event.attributeDescriptorForKeyword(keyAddressAttr), keyAddressAttr);
        reply.setParamDescriptorForKeyword(
            ae::NSAppleEventDescriptor::descriptorWithBoolean(QThread::currentThread() == app.thread()),
            fourCharCode("main"));
        if (event.eventClass() == kCoreEventClass && event.eventID() == kAEQuitApplication) {
          QCoreApplication::quit();
        }
      },
      typeWildCard, typeWildCard);
  const OSStatus status = manager.registerApplication(QString::fromUtf8(argv[1]));
  std::printf("%s\n", status == noErr ? "ready" : "failed");
  std::fflush(stdout);
  return status == noErr ? app.exec() : 1;
}
