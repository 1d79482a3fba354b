#include "Simulator/SimulatedDesktopScenario.h"

namespace bix::ax {

namespace {

// The demo desktop in scenario form, so it doubles as a worked example of the format.
constexpr std::string_view kDemoDesktop = R"json({
  "trusted": true,
  "frontmost": 4242,
  "applications": [
    {
      "pid": 4242,
      "bundleId": "com.example.aichat",
      "name": "AI Chat",
      "active": true,
      "focused": "composer",
      "windows": [
        {
          "key": "chat-window",
          "role": "AXWindow",
          "subrole": "AXStandardWindow",
          "identifier": "chat-main-window",
          "title": "AI Chat",
          "focused": true,
          "minimized": false,
          "settable": ["AXFocused"],
          "children": [
            {
              "role": "AXGroup",
              "children": [
                {
                  "role": "AXSplitGroup",
                  "children": [
                    {
                      "key": "sidebar",
                      "role": "AXGroup",
                      "identifier": "sidebar",
                      "description": "Conversations",
                      "children": [
                        {
                          "key": "new-chat-button",
                          "role": "AXButton",
                          "identifier": "new-chat-button",
                          "title": "New Chat",
                          "actions": ["AXPress"]
                        },
                        {
                          "role": "AXScrollArea",
                          "children": [
                            {
                              "role": "AXGroup",
                              "children": [
                                {"role": "AXButton", "title": "Trip to Lisbon", "actions": ["AXPress"]},
                                {"role": "AXButton", "title": "Sourdough starter", "actions": ["AXPress"]}
                              ]
                            }
                          ]
                        }
                      ]
                    },
                    {
                      "role": "AXSplitter"
                    },
                    {
                      "role": "AXGroup",
                      "children": [
                        {
                          "role": "AXScrollArea",
                          "children": [
                            {
                              "key": "transcript",
                              "role": "AXGroup",
                              "identifier": "transcript",
                              "description": "Conversation",
                              "children": [
                                {
                                  "role": "AXStaticText",
                                  "identifier": "user-message",
                                  "value": "What can you help me with?"
                                },
                                {
                                  "role": "AXStaticText",
                                  "value": "I can answer questions, draft text and explain code."
                                },
                                {
                                  "role": "AXStaticText",
                                  "identifier": "user-message",
                                  "value": "Say hello."
                                },
                                {
                                  "role": "AXStaticText",
                                  "identifier": "assistant-message",
                                  "value": "Hello! How can I help you today?"
                                }
                              ]
                            }
                          ]
                        },
                        {
                          "role": "AXGroup",
                          "identifier": "composer-bar",
                          "children": [
                            {
                              "role": "AXButton",
                              "description": "Attach a file",
                              "actions": ["AXPress"]
                            },
                            {
                              "key": "composer",
                              "role": "AXTextArea",
                              "identifier": "composer",
                              "description": "Message",
                              "value": "",
                              "focused": true,
                              "settable": ["AXValue", "AXFocused"]
                            },
                            {
                              "role": "AXGroup",
                              "children": [
                                {
                                  "key": "send-button",
                                  "role": "AXButton",
                                  "identifier": "send-button",
                                  "title": "Send",
                                  "actions": ["AXPress"]
                                },
                                {
                                  "key": "stop-button",
                                  "role": "AXButton",
                                  "identifier": "stop-button",
                                  "title": "Stop",
                                  "enabled": false,
                                  "actions": ["AXPress"]
                                }
                              ]
                            }
                          ]
                        }
                      ]
                    }
                  ]
                }
              ]
            }
          ]
        }
      ]
    },
    {
      "pid": 4300,
      "bundleId": "com.example.notes",
      "name": "Notes",
      "windows": [
        {
          "role": "AXWindow",
          "subrole": "AXStandardWindow",
          "identifier": "notes-window",
          "title": "Notes",
          "children": [
            {"role": "AXTextArea", "identifier": "note-body", "value": "Buy milk",
             "settable": ["AXValue"]}
          ]
        },
        {
          "role": "AXWindow",
          "subrole": "AXStandardWindow",
          "identifier": "notes-window",
          "title": "Shopping list"
        }
      ]
    },
    {
      "pid": 4400,
      "bundleId": "com.example.menuhelper",
      "name": "Menu Helper",
      "activationPolicy": "accessory"
    },
    {
      "pid": 4500,
      "bundleId": "com.example.syncd",
      "name": "Sync Daemon",
      "activationPolicy": "prohibited"
    },
    {
      "pid": 4600,
      "name": "Legacy Tool",
      "windows": [{"role": "AXWindow", "title": "Legacy Tool"}]
    }
  ],
  "behaviours": [
    {
      "type": "chat",
      "composer": "composer",
      "submit": "send-button",
      "stop": "stop-button",
      "newConversation": "new-chat-button",
      "transcript": "transcript",
      "reply": ["Here is", " a short", " answer", " from the", " simulated", " assistant."],
      "stepMilliseconds": 40
    }
  ]
})json";

} // namespace

std::string_view demoDesktopScenario() {
    return kDemoDesktop;
}

} // namespace bix::ax
