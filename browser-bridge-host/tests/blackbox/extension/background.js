// Opens one native-messaging port to the bridge host, sends three messages and, once three
// replies have come back, reports what it received over the same port. The test playing the
// host application answers the pings and checks the report.
const HOST_NAME = "com.bix.companion.bridge_test";
const MESSAGES = 3;

function start() {
  const port = chrome.runtime.connectNative(HOST_NAME);
  const replies = [];
  port.onMessage.addListener((message) => {
    replies.push(message);
    if (replies.length === MESSAGES) {
      port.postMessage({kind: "report", replies});
    }
  });
  port.onDisconnect.addListener(() => {
    // Keeps the last error readable in the browser's log when the host ends early.
    void chrome.runtime.lastError;
  });
  for (let seq = 1; seq <= MESSAGES; seq++) {
    port.postMessage({kind: "ping", seq, text: "h\u00e9llo \u2713"});
  }
}

start();
