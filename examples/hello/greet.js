// Answers a request: greets the visitor named in the call, sends back the
// order it received with its items sorted and summed up, and an alert for
// the front end.
function greet(who) {
    var name = who.trim();
    name = name.charAt(0).toUpperCase() + name.substring(1);
    sendToFront("greeting", `Hello, ${name}`);
    sendToFront(order);
    var items = order.items.slice();
    items.sort();
    sendToFront("items", items.join(", "));
    sendToFront("count", items.length);
    if (order.note.includes("sugar")) alertToFront("note: " + order.note);
    else alertToFront("done");
}
