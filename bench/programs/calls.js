// Calls with several arguments.
function mix(a, b, c, d, e) {
    return (a * 3 + b * 5 + c * 7 + d * 11 + e) % 65521;
}
function main() {
    var acc = 1;
    for (var i = 0; i < 400000; i++) {
        acc = mix(acc, i, i % 13, acc % 17, 5);
    }
    console.log(acc);
}
