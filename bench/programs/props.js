// Property reads and writes on an object.
function main() {
    var o = {a: 1, b: 2, c: 3, d: 4};
    for (var i = 0; i < 500000; i++) {
        o.a = o.b + o.c;
        o.b = (o.a + o.d) % 10007;
        o.c = o.d + i % 7;
        o.d = (o.a + o.c) % 10009;
    }
    console.log(o.a + o.b + o.c + o.d);
}
