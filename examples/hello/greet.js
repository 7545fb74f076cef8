// Answers a request: greets the visitor named in the call, sends back the
// order it received and an alert for the front end.
function greet(who) {
    sendToFront("greeting", "Hello, " + who);
    sendToFront(order);
    sendToFront("items", order.items.length);
    alertToFront("done");
}
